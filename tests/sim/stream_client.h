// A streaming client of the card for the sim tests: claims it, sizes and maps
// the buffers, registers the four events and switches channels on, the way
// the user-mode driver does, and tidies up in reverse.
#pragma once

#include "tests/sim/card_client.h"

#include <gtest/gtest.h>

namespace simtest {

class StreamClient {
public:
    StreamClient(sim::Card& card, int32_t frames) : card_(card), file_(card), frames_(frames) {
        EXPECT_EQ(file_.Claim(1), ERROR_SUCCESS);
        EXPECT_EQ(file_.BufferSize(frames), ERROR_SUCCESS);
        EXPECT_EQ(file_.Map(&map_), ERROR_SUCCESS);
    }
    ~StreamClient() {
        Stop();
        file_.Unmap(map_);
        file_.Claim(0);
    }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    DWORD Start(const sim::devctl::Enables& enables) {
        const DWORD error = file_.Events(events_.handles);
        if (error != ERROR_SUCCESS) return error;
        return file_.Channels(enables);
    }
    void Stop() {
        file_.Channels({});
        file_.Stop();
    }

    // Whether the half's ready event is set (and takes it).
    bool Ready(int half, DWORD milliseconds = 0) {
        return WaitForSingleObject(events_.halfReady(half), milliseconds) == WAIT_OBJECT_0;
    }
    void Answer(int half) { SetEvent(events_.outputReady(half)); }

    int32_t* Half(int channel, int half) const { return Buffer(map_, channel) + half * frames_; }
    int32_t frames() const { return frames_; }
    CardFile& file() { return file_; }
    StreamEvents& events() { return events_; }

private:
    sim::Card& card_;
    CardFile file_;
    StreamEvents events_;
    int32_t frames_;
    sim::devctl::BufferMap map_{};
};

}  // namespace simtest
