// The moments of one connection that its deadlines are measured from: when
// it connected, when its request began to arrive, when its reply last moved
// and when it last did anything. The admission policy reads them.
#pragma once

#include <cstdint>

class ConnectionClock {
public:
    ConnectionClock() = default;
    explicit ConnectionClock(int64_t openedAt) : openedAt_(openedAt), lastActive_(openedAt) {}

    // Bytes of a request came in; the first ones start its deadline.
    void received(int64_t now);
    // The request is whole and its reply begins; gameFile: it asks for a file
    // of the game (not the package file).
    void answered(int64_t now, bool gameFile);
    // Bytes of the reply went out; replyDone when the reply is complete.
    void sent(int64_t now, bool replyDone);

    int64_t openedAt() const { return openedAt_; }
    int64_t lastActive() const { return lastActive_; }
    int64_t requestStarted() const { return requestStarted_; }  // -1: no request arriving
    int64_t replyMoved() const { return replyMoved_; }          // -1: no reply going out
    bool requestUnderWay() const { return requestStarted_ >= 0; }
    bool replyUnderWay() const { return replyMoved_ >= 0; }
    bool spoke() const { return spoke_; }             // any byte of a request ever came
    bool askedOnce() const { return requests_ > 0; }  // a whole request ever came
    bool askedForFile() const { return askedForFile_; }
    uint64_t requests() const { return requests_; }

private:
    int64_t openedAt_ = 0;
    int64_t lastActive_ = 0;
    int64_t requestStarted_ = -1;
    int64_t replyMoved_ = -1;
    bool spoke_ = false;
    bool askedForFile_ = false;
    uint64_t requests_ = 0;
};
