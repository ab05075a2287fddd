// Another vendor's program on the simulated machine with a top-level window
// on a session's default desktop, marked with a property named by a card's
// instance ID (the mark the service looks for when it asks programs to let
// go of the card). Its one thread opens the card (if it is to hold it), puts
// the window up and then, by kind:
//   Decoy   holds nothing and answers every message at once;
//   Slow    holds the card and answers "ForceClose" after a while (machine
//           time), closing its handle before it answers;
//   Silent  holds the card and never looks for messages, so sends to it time
//           out and it counts as hung.
// Destruction ends the thread; the card's handle, if still open, is closed.
//
//     sim::MarkedWindowProgram silent(sim::MarkedWindowProgram::Silent, 2, card.InstanceId(),
//                                     card.InterfacePath(0));
#pragma once

#include "platform/posix/kernel.h"

#include <atomic>
#include <future>
#include <string>
#include <thread>

namespace sim {

class MarkedWindowProgram {
public:
    enum Kind { Decoy, Slow, Silent };
    // How long a slow program takes over "ForceClose", in machine time: within
    // the bound the service gives one send.
    static constexpr DWORD kSlowAnswerMs = 2000;

    // cardPath: the interface path the program opens (not used by a decoy).
    MarkedWindowProgram(Kind kind, DWORD sessionId, const std::wstring& instanceId, const std::wstring& cardPath = {});
    ~MarkedWindowProgram();
    MarkedWindowProgram(const MarkedWindowProgram&) = delete;
    MarkedWindowProgram& operator=(const MarkedWindowProgram&) = delete;

    Kind kind() const { return kind_; }
    bool HoldsCard() const { return card_.load() != INVALID_HANDLE_VALUE; }
    // Messages its window was given so far.
    int Asked() const;

private:
    static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Body(DWORD sessionId, const std::wstring& instanceId, const std::wstring& cardPath);

    const Kind kind_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    std::atomic<HANDLE> card_{INVALID_HANDLE_VALUE};  // closed by the window's thread, read by others
    std::promise<void> ready_;
    std::promise<void> released_;  // a silent program's thread waits for it
    std::thread thread_;
};

}  // namespace sim
