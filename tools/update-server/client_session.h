// One client's conversation: at most one request coming in and one reply
// going out at a time, in fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package_catalog.h"
#include "served_file.h"
#include "wire_protocol.h"

struct SessionRules {
    std::size_t chunkPayload = wire::kDefaultChunkPayload;
    // The fast-mode offer in the package reply: the largest payload a client
    // may ask for (0: no offer, every request gets chunkPayload) and how many
    // requests it may send before reading a reply.
    std::size_t fastChunkPayload = 0;
    std::size_t fastWindow = wire::kDefaultFastWindow;
    long long dropAfter = -1;   // close once this many file payload bytes went out
    long refuseSerial = -1;     // answer flag 0 for this serial
};

// The room the reply to a whole request may need.
std::size_t ReplyRoom(const wire::ParsedRequest& request, const SessionRules& rules);

// Builds the reply to a whole request into out (room for ReplyRoom);
// returns its length and describes the exchange in logLine. With file, the
// chunks come from the file that client keeps open.
std::size_t AnswerRequest(const wire::ParsedRequest& request, const PackageCatalog& catalog, const SessionRules& rules,
                          uint8_t* out, std::size_t* payloadBytes, std::string* logLine, ServedFile* file = nullptr);

class ClientSession {
public:
    enum class Step { NeedMore, ReplyReady, Close };

    // Where to receive and how many bytes: never more than the rest of the
    // current request, so a client cannot queue work in the server.
    uint8_t* receiveSpace() { return request_ + received_; }
    std::size_t receiveWanted() const;

    // Close: the frame's buffsize or code is not a request's.
    Step onReceived(std::size_t bytes, const PackageCatalog& catalog, const SessionRules& rules,
                    std::string* logLine);

    bool replyPending() const { return replyLength_ > replySent_; }
    const uint8_t* pendingReply() const { return reply_.data() + replySent_; }
    std::size_t pendingBytes() const { return replyLength_ - replySent_; }
    // True once the whole reply is out and the next request may come in.
    bool onSent(std::size_t bytes);
    // The drop-after budget is spent: close after the reply went out.
    bool dropDue() const { return dropDue_; }

private:
    uint8_t request_[wire::kPackageRequestBytes] = {};
    std::size_t received_ = 0;
    // As large as the largest reply so far: a base client's chunks never need
    // more than 10240 bytes, a fast-mode client's up to 65537.
    std::vector<uint8_t> reply_;
    ServedFile file_;
    std::size_t replyLength_ = 0;
    std::size_t replySent_ = 0;
    long long filePayloadSent_ = 0;
    bool dropDue_ = false;
};
