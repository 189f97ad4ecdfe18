// gamedata.xml as the worker reads it: which servers qualify, how many rows
// are counted, and the download address handed to the host.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "autoupdate.h"
#include "log/update_log.h"
#include "run/run_state.h"
#include "worker/server_table.h"

namespace fs = std::filesystem;

namespace {

struct Message {
    unsigned msg;
    uintptr_t wParam;
    intptr_t lParam;
    std::string text;  // the address text of 11111/11117
};

class ServerTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        dir_ = fs::temp_directory_path() / ("server_table_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        host_.message = [](AutoUpdateHost* self, unsigned msg, uintptr_t w, intptr_t l) -> intptr_t {
            auto* messages = static_cast<std::vector<Message>*>(self->context);
            std::string text;
            if (msg == AU_MSG_STATUS && w == AU_STATUS_DOWNLOAD_ADDRESS) {
                text = reinterpret_cast<const char*>(l);
            }
            messages->push_back({msg, w, l, text});
            return 0;
        };
        host_.context = &messages_;
        g_RunState.hostWindow = &host_;
        g_UpdateLog.open((dir_ / "autoupdatelog.txt").string().c_str());
        std::snprintf(g_RunState.xmlPath, sizeof g_RunState.xmlPath, "%s",
                      (dir_ / "gamedata.xml").string().c_str());
    }
    void TearDown() override {
        fs::remove_all(dir_);
        resetRunState();
    }

    void writeXml(const std::string& body) {
        std::ofstream out(dir_ / "gamedata.xml", std::ios::binary);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gamedata>\n" << body
            << "\n</gamedata>\n";
    }
    std::string log() {
        std::ifstream in(dir_ / "autoupdatelog.txt", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string server(const std::string& attributes) {
        return "  <server " + attributes + "/>\n";
    }

    fs::path dir_;
    AutoUpdateHost host_{};
    std::vector<Message> messages_;
};

TEST_F(ServerTableTest, MissingFileLeavesAnEmptyTable) {
    EXPECT_TRUE(readGameData());
    EXPECT_EQ(g_RunState.serverCount, 0);
    EXPECT_TRUE(messages_.empty());
    const std::string text = log();
    EXPECT_NE(text.find("没有gamedataxml"), std::string::npos);
    EXPECT_NE(text.find("有这么多个服务器0"), std::string::npos);
}

TEST_F(ServerTableTest, ServersWithoutChildrenOrWithoutServerEndTheRun) {
    writeXml("<servers></servers>");
    EXPECT_FALSE(readGameData());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].lParam, AU_ERR_NO_SERVERS);
    EXPECT_EQ(g_RunState.workerFinished, 1);
    EXPECT_NE(log().find("无法找到servers"), std::string::npos);

    messages_.clear();
    writeXml("<servers><!-- none yet --></servers>");
    EXPECT_FALSE(readGameData());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].lParam, AU_ERR_NO_SERVERS);
    EXPECT_NE(log().find("无法找到server\r\n"), std::string::npos);
}

TEST_F(ServerTableTest, OnlyServersTakingPartInUpdatesQualify) {
    writeXml("<servers>\n" +
             server("serverid=\"1\" autoupdate=\"0\" ip=\"127.0.0.1\"") +
             server("serverid=\"2\" autoupdate=\"-1\" ip=\"127.0.0.2\"") +
             server("serverid=\"3\" autoupdate=\"no\" ip=\"127.0.0.3\"") +
             server("serverid=\"4\" autoupdate=\"\" ip=\"127.0.0.4\"") +
             server("autoupdate=\"1\" ip=\"127.0.0.5\"") +
             server("serverid=\"6\" autoupdate=\"1\" ip=\"\"") +
             server("serverid=\"7\" autoupdate=\"1\" ip=\"127.0.0.7\" autoupdateport=\"0x9620\"") +
             server("serverid=\"8\" autoupdate=\"2\" ip=\"127.0.0.8\" autoupdateport=\"4000\"") +
             "</servers>");
    EXPECT_TRUE(readGameData());
    ASSERT_EQ(g_RunState.serverCount, 2);
    EXPECT_STREQ(g_RunState.ServerTable[0].ip, "127.0.0.7");
    EXPECT_EQ(g_RunState.ServerTable[0].port, 0);  // hexadecimal reads as 0
    EXPECT_STREQ(g_RunState.ServerTable[1].ip, "127.0.0.8");
    EXPECT_EQ(g_RunState.ServerTable[1].port, 4000);
}

TEST_F(ServerTableTest, TheTableCountsNineteenRows) {
    std::string body = "<servers>\n";
    for (int i = 1; i <= 25; ++i) {
        body += server("serverid=\"" + std::to_string(i) + "\" autoupdate=\"1\" ip=\"127.0.0." +
                       std::to_string(i) + "\"");
    }
    writeXml(body + "</servers>");
    EXPECT_TRUE(readGameData());
    EXPECT_EQ(g_RunState.serverCount, 19);
    EXPECT_STREQ(g_RunState.ServerTable[18].ip, "127.0.0.19");
    // Later servers all land in the spare twentieth row, which is never counted.
    EXPECT_STREQ(g_RunState.ServerTable[19].ip, "127.0.0.25");
}

TEST_F(ServerTableTest, ACommentAddsAPassThatReadsTheLastServerAgain) {
    writeXml("<servers>\n" + server("serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\"") +
             "  <!-- spare -->\n" + server("serverid=\"2\" autoupdate=\"1\" ip=\"127.0.0.2\"") +
             server("serverid=\"3\" autoupdate=\"1\" ip=\"127.0.0.3\"") + "</servers>");
    EXPECT_TRUE(readGameData());
    ASSERT_EQ(g_RunState.serverCount, 4);
    EXPECT_STREQ(g_RunState.ServerTable[2].ip, "127.0.0.3");
    EXPECT_STREQ(g_RunState.ServerTable[3].ip, "127.0.0.3");
}

TEST_F(ServerTableTest, NamesAreKeptWholeOtherAddressesByTheirDigitsAndDots) {
    const std::string longName(300, 'n');
    struct Row {
        std::string text, ip, name;
    } rows[] = {
        {"host1.example.org", "", "host1.example.org"},
        {"localhost", "", "localhost"},
        {"::1", "", "::1"},
        {longName, "", longName.substr(0, 255)},
        // The row holds 19 characters: the text is cut there, then reduced.
        {"127.000.000.001 / 127.000.000.002", "127.000.000.0011", ""},
        {"ip=127.0.0.1", "127.0.0.1", ""},
    };
    std::string body = "<servers>\n";
    for (const Row& row : rows) body += server("serverid=\"1\" autoupdate=\"1\" ip=\"" + row.text + "\"");
    writeXml(body + "</servers>");
    EXPECT_TRUE(readGameData());
    ASSERT_EQ(g_RunState.serverCount, 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(g_RunState.ServerTable[i].ip, rows[i].ip) << i;
        EXPECT_EQ(g_RunState.ServerTable[i].name, rows[i].name) << i;
    }
}

TEST_F(ServerTableTest, DownloadAddressNeedsMoreThanTenCharacters) {
    const std::string servers =
        "<servers>" + server("serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\"") + "</servers>\n";
    writeXml(servers +
             "<FuncConfig><Func intername=\"a\" expandprop=\"0123456789\"/>"
             "<Func intername=\"b\" expandprop=\"http://second.example/\"/></FuncConfig>");
    EXPECT_TRUE(readGameData());
    EXPECT_TRUE(messages_.empty());  // ten characters: dropped, and no further Func is read

    writeXml(servers +
             "<FuncConfig><Func intername=\"a\"/>"
             "<Func intername=\"b\" expandprop=\"http://a.b/\"/></FuncConfig>");
    EXPECT_TRUE(readGameData());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].wParam, static_cast<uintptr_t>(AU_STATUS_DOWNLOAD_ADDRESS));
    EXPECT_EQ(messages_[0].text, "http://a.b/");
    EXPECT_NE(log().find("找不到expandprop为\r\n"), std::string::npos);
    EXPECT_NE(log().find("totalsub为2"), std::string::npos);
}

TEST_F(ServerTableTest, MissingFuncConfigIsLogged) {
    writeXml("<servers>" + server("serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\"") +
             "</servers>");
    EXPECT_TRUE(readGameData());
    EXPECT_NE(log().find("没有FuncConfig"), std::string::npos);
    EXPECT_NE(log().find("有这么多个服务器1"), std::string::npos);
}

}  // namespace

TEST_F(ServerTableTest, PublisherKeysAreTakenWhereTheyAreKeys) {
    const std::string key = "BBERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERE=";
    for (const std::string& element : {std::string(), "<publisherkeys key1=\"nokey\" key2=\"" + key + "\"/>"}) {
        writeXml("<servers>" + server("serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\"") + "</servers>" + element);
        g_UpdateLog.open((dir_ / "autoupdatelog.txt").string().c_str());
        EXPECT_TRUE(readGameData());
        EXPECT_EQ(g_RunState.publisherKeyCount, element.empty() ? 0 : 1);
        const bool logged = log().find("publisherkeys的key1不是公钥,忽略") != std::string::npos && log().find("有1个发布者公钥") != std::string::npos;
        EXPECT_EQ(logged, !element.empty()) << log();
    }
}

TEST_F(ServerTableTest, TheDownloadCapIsAPlainCountOfKibibytesPerSecond) {
    const std::pair<const char*, uint32_t> cases[] = {{"", 0}, {"<download maxkibps=\"1024\"/>", 1024},
                                                      {"<download maxkibps=\"1k\"/>", 0}, {"<download/>", 0},
                                                      {"<download maxkibps=\"99999999\"/>", 0}};
    for (const auto& c : cases) {
        g_RunState.receiveLimitKiB = 7;
        writeXml("<servers>" + server("serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\"") + "</servers>" + c.first);
        EXPECT_TRUE(readGameData());
        EXPECT_EQ(g_RunState.receiveLimitKiB, c.second) << c.first;
    }
}
