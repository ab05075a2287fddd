// The cards' control panel on the simulated machine (Korvex.exe, a program
// of its own, not part of the product). Started with a card's instance ID as
// its command line, it opens the card, puts up a window on its start-up
// desktop marked with a property named by the ID, and handles messages until
// it is told to quit. On "ForceClose" it closes its handle to the card
// before it answers.
//
//     sim::ControlPanelProgram panels;   // installed at ControlPanelImagePath()
//     ... the service starts panels ...
//     panels.WaitForWindows(2);
//     // destruction tells every panel to quit and waits for them
#pragma once

#include "platform/posix/kernel.h"

#include <string>
#include <vector>

namespace sim {

struct ControlPanelRecord {
    DWORD processId = 0;
    DWORD threadId = 0;
    std::wstring commandLine;  // argument zero: the instance ID it was given
    DWORD sessionId = 0;
    std::wstring desktop;      // its start-up desktop
    std::wstring user;         // the account its token names
    std::vector<std::wstring> privileges;  // what its token holds
    std::wstring userName;     // USERNAME in its environment (empty: none)
    HWND window = nullptr;     // null until its window is up
    bool cardOpened = false;
    int forceCloseMessages = 0;
    // The card's handle was closed inside the "ForceClose" handler.
    bool cardClosedOnForceClose = false;
    bool ended = false;
};

class ControlPanelProgram {
public:
    // Registers the program at ControlPanelImagePath(); forgets the panels of
    // an earlier installation.
    ControlPanelProgram();
    // Tells every panel to quit and waits for the panel processes to end.
    ~ControlPanelProgram();
    ControlPanelProgram(const ControlPanelProgram&) = delete;
    ControlPanelProgram& operator=(const ControlPanelProgram&) = delete;

    // Every panel started since the installation, in start order.
    std::vector<ControlPanelRecord> Panels() const;
    // Waits until `count` panels have their window up; false on timeout.
    bool WaitForWindows(size_t count, DWORD milliseconds = 10000) const;
    // Until every panel process started so far, also one not yet at its
    // first instruction, has its window up or has ended; false on timeout.
    bool WaitSettled(DWORD milliseconds = 5000) const;
    // Tells every running panel to quit and waits for them; false on timeout.
    bool CloseAll(DWORD milliseconds = 10000);
};

}  // namespace sim
