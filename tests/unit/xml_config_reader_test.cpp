#include "config/xml_config_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

class XmlConfigReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() / ("xml_reader_" + std::to_string(seed()) + std::to_string(seed()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out << bytes;
        return path.string();
    }

    // Reads an attribute of the current node into a buffer pre-filled with a
    // marker, so a failed read shows up as the marker.
    std::string attribute(XmlConfigReader& reader, const char* name, bool* found = nullptr) {
        char text[256] = "<unchanged>";
        const bool ok = reader.GetAttribute(name, text, sizeof text);
        if (found != nullptr) {
            *found = ok;
        }
        return text;
    }

    fs::path dir_;
};

const char kThreeServers[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gamedata>\n"
    "  <servers>\n"
    "    <server serverid=\"1\" autoupdate=\"1\" ip=\"127.0.0.1\" autoupdateport=\"4000\"/>\n"
    "    <!-- the backup -->\n"
    "    <server serverid=\"2\" autoupdate=\"0\" ip=\"127.0.0.2\"/>\n"
    "    <server serverid=\"3\" autoupdate=\"2\" ip=\"127.0.0.3\" autoupdateport=\"\"/>\n"
    "  </servers>\n"
    "  <FuncConfig>\n"
    "    <Func intername=\"shop\" expandprop=\"http://127.0.0.1/dl\"/>\n"
    "  </FuncConfig>\n"
    "</gamedata>\n";

TEST(IsPlainNameTest, AcceptsLettersThenLettersOrDigits) {
    EXPECT_TRUE(IsPlainName("servers"));
    EXPECT_TRUE(IsPlainName("FuncConfig"));
    EXPECT_TRUE(IsPlainName("x"));
    EXPECT_TRUE(IsPlainName("ip4v2"));
}

TEST(IsPlainNameTest, RejectsEverythingElse) {
    EXPECT_FALSE(IsPlainName(nullptr));
    EXPECT_FALSE(IsPlainName(""));
    EXPECT_FALSE(IsPlainName("auto-update"));
    EXPECT_FALSE(IsPlainName("1st"));
    EXPECT_FALSE(IsPlainName("server/ip"));
    EXPECT_FALSE(IsPlainName("@ip"));
    EXPECT_FALSE(IsPlainName("a b"));
    EXPECT_FALSE(IsPlainName("x:server"));
    EXPECT_FALSE(IsPlainName("_server"));
    EXPECT_FALSE(IsPlainName("\xB7\xFE"));
}

TEST_F(XmlConfigReaderTest, NeverLoadedReaderFindsNothing) {
    XmlConfigReader reader;
    EXPECT_EQ(reader.CountChildren(), 0);
    EXPECT_FALSE(reader.SelectChildren("servers"));
    EXPECT_FALSE(reader.MoveNext());
    bool found = true;
    EXPECT_EQ(attribute(reader, "ip", &found), "<unchanged>");
    EXPECT_FALSE(found);
}

TEST_F(XmlConfigReaderTest, MissingEmptyOrMalformedFilesDoNotLoad) {
    XmlConfigReader reader;
    EXPECT_FALSE(reader.Load(nullptr));
    EXPECT_FALSE(reader.Load((dir_ / "absent.xml").string().c_str()));
    EXPECT_FALSE(reader.Load(write("empty.xml", "").c_str()));
    EXPECT_FALSE(reader.Load(write("blank.xml", "  \n").c_str()));
    EXPECT_FALSE(reader.Load(write("bad.xml", "<gamedata><servers></gamedata>").c_str()));
    EXPECT_FALSE(reader.Load(write("two.xml", "<a/><b/>").c_str()));
    EXPECT_FALSE(reader.Load(dir_.string().c_str()));
    EXPECT_EQ(reader.CountChildren(), 0);
    EXPECT_FALSE(reader.SelectChildren("servers"));
}

// The reader lives inside the launcher's process: a file it cannot read is
// reported by Load's result, never by lines on the launcher's standard error.
TEST_F(XmlConfigReaderTest, BytesWrongForTheDeclaredEncodingFailWithoutPrinting) {
    XmlConfigReader reader;
    const std::string broken = std::string("<?xml version=\"1.0\" encoding=\"GBK\"?><a>\xff\x1f") +
                               std::string(4, '\0') + "</a>";
    ::testing::internal::CaptureStderr();
    const bool loaded = reader.Load(write("broken.xml", broken).c_str());
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(loaded);
    EXPECT_EQ(printed, "");
}

TEST_F(XmlConfigReaderTest, FailedLoadKeepsThePreviousDocumentAndPosition) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", kThreeServers).c_str()));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));
    ASSERT_TRUE(reader.MoveNext());

    EXPECT_FALSE(reader.Load(write("bad.xml", "<gamedata>").c_str()));
    EXPECT_FALSE(reader.Load((dir_ / "absent.xml").string().c_str()));

    EXPECT_EQ(attribute(reader, "serverid"), "2");
    EXPECT_TRUE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "3");
}

TEST_F(XmlConfigReaderTest, SecondLoadReplacesTheDocument) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("first.xml", kThreeServers).c_str()));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));

    ASSERT_TRUE(reader.Load(write("second.xml",
        "<other><servers><server serverid=\"9\"/></servers></other>").c_str()));
    // The old selection belonged to the old document.
    EXPECT_FALSE(reader.MoveNext());
    EXPECT_EQ(reader.CountChildren(), 1);
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));
    EXPECT_EQ(attribute(reader, "serverid"), "9");
}

TEST_F(XmlConfigReaderTest, OnlyDirectChildrenAreSelected) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        "<gamedata><config><servers><server ip=\"127.0.0.1\"/></servers></config></gamedata>").c_str()));
    EXPECT_FALSE(reader.SelectChildren("servers"));
    // Still on the document element, which has one child.
    EXPECT_EQ(reader.CountChildren(), 1);
    ASSERT_TRUE(reader.SelectChildren("config"));
    EXPECT_TRUE(reader.SelectChildren("servers"));
}

TEST_F(XmlConfigReaderTest, NamesAreCaseSensitive) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", kThreeServers).c_str()));
    EXPECT_FALSE(reader.SelectChildren("Servers"));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));
    bool found = true;
    attribute(reader, "IP", &found);
    EXPECT_FALSE(found);
}

TEST_F(XmlConfigReaderTest, IndentedServersCountElementsAndCommentsOnly) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        "<gamedata>\n"
        "\t<servers>\n"
        "\t\t<server serverid=\"1\"/>\n"
        "\t\t<!-- spare -->\n"
        "\t\t<server serverid=\"2\"/>\n"
        "\t</servers>\n"
        "</gamedata>\n").c_str()));
    EXPECT_EQ(reader.CountChildren(), 1);
    ASSERT_TRUE(reader.SelectChildren("servers"));
    EXPECT_EQ(reader.CountChildren(), 3);
    ASSERT_TRUE(reader.SelectChildren("server"));
    EXPECT_EQ(reader.CountChildren(), 0);
    EXPECT_TRUE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "2");
    EXPECT_FALSE(reader.MoveNext());
}

TEST_F(XmlConfigReaderTest, EveryNonBlankChildKindCounts) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        "<gamedata>\n"
        "  <servers>   \n   </servers>\n"
        "  <mixed> words <?note x?> <![CDATA[ ]]> <a/> </mixed>\n"
        "</gamedata>\n").c_str()));
    EXPECT_EQ(reader.CountChildren(), 2);
    ASSERT_TRUE(reader.SelectChildren("servers"));
    EXPECT_EQ(reader.CountChildren(), 0);
    ASSERT_TRUE(reader.Reset());
    ASSERT_TRUE(reader.SelectChildren("mixed"));
    // text " words ", the processing instruction, the CDATA section, <a/>
    EXPECT_EQ(reader.CountChildren(), 4);
}

TEST_F(XmlConfigReaderTest, MoveNextStopsOnTheLastNode) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", kThreeServers).c_str()));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    EXPECT_EQ(reader.CountChildren(), 4);
    ASSERT_TRUE(reader.SelectChildren("server"));
    EXPECT_EQ(attribute(reader, "serverid"), "1");
    EXPECT_TRUE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "2");
    EXPECT_TRUE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "3");
    EXPECT_FALSE(reader.MoveNext());
    EXPECT_FALSE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "3");
    EXPECT_EQ(attribute(reader, "ip"), "127.0.0.3");
}

TEST_F(XmlConfigReaderTest, ResetKeepsTheSelectionAndAFailedSelectEmptiesIt) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", kThreeServers).c_str()));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));

    ASSERT_TRUE(reader.Reset());
    EXPECT_EQ(reader.CountChildren(), 2);
    EXPECT_TRUE(reader.MoveNext());
    EXPECT_EQ(attribute(reader, "serverid"), "2");

    ASSERT_TRUE(reader.Reset());
    EXPECT_FALSE(reader.SelectChildren("servers2"));
    EXPECT_EQ(reader.CountChildren(), 2);
    EXPECT_FALSE(reader.MoveNext());

    ASSERT_TRUE(reader.SelectChildren("FuncConfig"));
    ASSERT_TRUE(reader.SelectChildren("Func"));
    EXPECT_EQ(attribute(reader, "expandprop"), "http://127.0.0.1/dl");
}

TEST_F(XmlConfigReaderTest, RejectedNamesDoNotTouchTheCursor) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        "<gamedata><servers><server auto-update=\"1\"/></servers><auto-update/></gamedata>").c_str()));
    EXPECT_FALSE(reader.SelectChildren("auto-update"));
    EXPECT_FALSE(reader.SelectChildren("1st"));
    EXPECT_FALSE(reader.SelectChildren("servers/server"));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));
    bool found = true;
    EXPECT_EQ(attribute(reader, "auto-update", &found), "<unchanged>");
    EXPECT_FALSE(found);
    EXPECT_EQ(attribute(reader, "1st", &found), "<unchanged>");
    EXPECT_FALSE(found);
}

TEST_F(XmlConfigReaderTest, EmptyAttributeIsFoundAbsentOneIsNot) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", kThreeServers).c_str()));
    ASSERT_TRUE(reader.SelectChildren("servers"));
    ASSERT_TRUE(reader.SelectChildren("server"));
    ASSERT_TRUE(reader.MoveNext());
    ASSERT_TRUE(reader.MoveNext());

    bool found = false;
    EXPECT_EQ(attribute(reader, "autoupdateport", &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(attribute(reader, "expandprop", &found), "<unchanged>");
    EXPECT_FALSE(found);
}

TEST_F(XmlConfigReaderTest, AttributesOfNonElementsAreAbsent) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml", "<gamedata>top</gamedata>").c_str()));
    EXPECT_EQ(reader.CountChildren(), 1);
    bool found = true;
    attribute(reader, "ip", &found);
    EXPECT_FALSE(found);
}

TEST_F(XmlConfigReaderTest, EntitiesInValuesAreResolved) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE gamedata [ <!ENTITY home \"127.0.0.1\"> ]>\n"
        "<gamedata><FuncConfig>"
        "<Func intername=\"a&amp;b &lt;&gt;&quot;&apos;\" expandprop=\"http://&home;/?x=1&#38;y=&#x32;\"/>"
        "</FuncConfig></gamedata>").c_str()));
    ASSERT_TRUE(reader.SelectChildren("FuncConfig"));
    ASSERT_TRUE(reader.SelectChildren("Func"));
    EXPECT_EQ(attribute(reader, "intername"), "a&b <>\"'");
    EXPECT_EQ(attribute(reader, "expandprop"), "http://127.0.0.1/?x=1&y=2");
}

TEST_F(XmlConfigReaderTest, ExternalEntitiesAreNeverRead) {
    const std::string secret = write("secret.xml", "<SECRET/><SECRET/>");
    XmlConfigReader reader;
    const bool loaded = reader.Load(write("gamedata.xml",
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE gamedata [ <!ENTITY leak SYSTEM \"file://" + secret + "\"> ]>\n"
        "<gamedata><servers>&leak;</servers></gamedata>").c_str());
    if (loaded) {
        ASSERT_TRUE(reader.SelectChildren("servers"));
        // The reference may stay as a node, but the file's elements never arrive.
        EXPECT_LE(reader.CountChildren(), 1);
        EXPECT_FALSE(reader.SelectChildren("SECRET"));
    }
    // Either way the reader is still usable.
    ASSERT_TRUE(reader.Load(write("plain.xml", kThreeServers).c_str()));
    EXPECT_EQ(reader.CountChildren(), 2);
}

TEST_F(XmlConfigReaderTest, ChineseValuesArriveAsTheSameGbkBytesFromEitherEncoding) {
    // 服务器 in GBK; the literal below is compiled to the same bytes.
    const std::string expected = "\xB7\xFE\xCE\xF1\xC6\xF7-1";
    ASSERT_EQ(std::string("服务器-1"), expected);

    const std::string utf8Doc = std::string(u8"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")
        + u8"<gamedata><servers><server serverid=\"服务器-1\"/></servers></gamedata>\n";
    const std::string gbkDoc = std::string("<?xml version=\"1.0\" encoding=\"GBK\"?>\n")
        + "<gamedata><servers><server serverid=\"服务器-1\"/></servers></gamedata>\n";
    ASSERT_NE(utf8Doc, gbkDoc);

    for (const std::string& doc : {utf8Doc, gbkDoc}) {
        XmlConfigReader reader;
        ASSERT_TRUE(reader.Load(write("gamedata.xml", doc).c_str()));
        ASSERT_TRUE(reader.SelectChildren("servers"));
        ASSERT_TRUE(reader.SelectChildren("server"));
        EXPECT_EQ(attribute(reader, "serverid"), expected);
    }
}

TEST_F(XmlConfigReaderTest, CharactersWithoutGbkFormBecomeQuestionMarks) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        std::string(u8"<gamedata a=\"x\U0001F600y\u4E2Dz\"/>")).c_str()));
    EXPECT_EQ(attribute(reader, "a"), "x?y\xD6\xD0z");
}

TEST_F(XmlConfigReaderTest, LongValuesAreCutToTheBuffer) {
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(write("gamedata.xml",
        std::string(u8"<gamedata ip=\"0123456789\" name=\"a服务器\"/>")).c_str()));

    char text[8];
    std::memset(text, 'Z', sizeof text);
    ASSERT_TRUE(reader.GetAttribute("ip", text, sizeof text));
    EXPECT_STREQ(text, "0123456");

    // "a" and two GBK bytes fit in four; the half of the next character is dropped.
    char small[5] = "....";
    ASSERT_TRUE(reader.GetAttribute("name", small, sizeof small));
    EXPECT_STREQ(small, "a\xB7\xFE");

    char exact[8];
    ASSERT_TRUE(reader.GetAttribute("name", exact, sizeof exact));
    EXPECT_STREQ(exact, "a\xB7\xFE\xCE\xF1\xC6\xF7");

    char one[1] = {'Q'};
    ASSERT_TRUE(reader.GetAttribute("ip", one, sizeof one));
    EXPECT_EQ(one[0], '\0');

    char none[1] = {'Q'};
    EXPECT_FALSE(reader.GetAttribute("ip", none, 0));
    EXPECT_EQ(none[0], 'Q');
}

TEST_F(XmlConfigReaderTest, BackslashPathsAreAccepted) {
    const std::string path = write("gamedata.xml", kThreeServers);
    std::string windowsStyle = path;
    for (char& c : windowsStyle) {
        if (c == '/') {
            c = '\\';
        }
    }
    XmlConfigReader reader;
    ASSERT_TRUE(reader.Load(windowsStyle.c_str()));
    EXPECT_TRUE(reader.SelectChildren("servers"));
}

}  // namespace
