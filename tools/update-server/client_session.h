// One client's conversation: at most one request coming in and one reply
// going out at a time, in fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mirror_list.h"
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
    // Fast mode only: the block sums of builds that have them (--no-patches
    // turns them off), and deflated replies where make-package marked a file
    // worth it and the client takes them (--no-deflate).
    bool blockSums = true;
    bool deflate = true;
    // The HTTP mirrors announced with signed builds; null: none.
    std::shared_ptr<const MirrorList> mirrors;
    long long dropAfter = -1;   // close once this many file payload bytes went out
    long refuseSerial = -1;     // answer flag 0 for this serial
};

// Builds the reply to a whole request into out (room for a package reply
// with its offer, or a chunk header and its payload), a chunk's payload read
// into it; returns its length and describes the exchange in logLine. Files
// come from the current build: a session remembers more.
std::size_t AnswerRequest(const wire::ParsedRequest& request, const PackageCatalog& catalog, const SessionRules& rules,
                          uint8_t* out, std::size_t* payloadBytes, std::string* logLine);

// Where the payload of a chunk reply still waits: in the served file.
struct PayloadPiece {
    int fd = -1;
    long long offset = 0;
    std::size_t bytes = 0;
};

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

    // A reply goes out as its head (a whole package reply, or a chunk's
    // header) from the session's buffer, then a chunk's payload from the
    // served file, which the server hands to the socket without copying it.
    bool replyPending() const { return replyLength_ > replySent_ || payloadLeft_ > 0; }
    const uint8_t* pendingReply() const { return reply_ + replySent_; }
    std::size_t pendingBytes() const { return replyLength_ - replySent_; }
    // The payload not yet sent; only once pendingBytes() is 0.
    PayloadPiece pendingPayload() const { return {payloadFd_, payloadOffset_, payloadLeft_}; }
    // Bytes of the head, then of the payload, that went out. True once the
    // whole reply is out and the next request may come in.
    bool onSent(std::size_t bytes);
    // The drop-after budget is spent: close after the reply went out.
    bool dropDue() const { return dropDue_; }
    // Of the reply now going out: the file bytes it carries and the bytes
    // deflating spared the wire.
    std::size_t rawPayload() const { return rawPayload_; }
    std::size_t deflateSaved() const { return deflateSaved_; }

    // The build the connection's package reply came from, which serves every
    // file it asks for while the server holds it; null before a package
    // request (such a connection gets the current build).
    const PackageBuild* build() const { return build_.get(); }
    std::string buildLabel() const;
    // The build the reply now going out came from; null for a package the
    // server does not have.
    const PackageBuild* replyBuild() const { return replyBuild_.get(); }

private:
    // Replaces the raw reply now set up by the deflated one make-package
    // stored for the chunk, where there is one and it is smaller. Nothing is
    // deflated here: one client's requests must not hold a loop that serves
    // hundreds, and a raw chunk is always a valid answer.
    void deflateChunk(uint32_t offset, uint8_t flag, std::string* logLine);

    uint8_t request_[wire::kPackageRequestBytes] = {};
    std::size_t received_ = 0;
    uint8_t reply_[wire::kOfferedPackageReplyBytes] = {};
    std::size_t rawPayload_ = 0;
    std::size_t deflateSaved_ = 0;
    ServedFile file_;
    std::shared_ptr<const PackageBuild> build_;
    std::shared_ptr<const PackageBuild> replyBuild_;
    std::size_t replyLength_ = 0;
    std::size_t replySent_ = 0;
    int payloadFd_ = -1;  // the served file, or its stored deflated replies
    long long payloadOffset_ = 0;
    std::size_t payloadLeft_ = 0;
    bool lastPiece_ = false;  // the file is done with once the payload is out
    long long filePayloadSent_ = 0;
    bool dropDue_ = false;
};
