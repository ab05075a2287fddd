#include "sim/marked_window_program.h"

#include "platform/posix/kernel_sessions.h"

namespace sim {
namespace {

// The window's own property that leads its procedure back to the program.
constexpr wchar_t kProgramProperty[] = L"MarkedWindowProgram";

}  // namespace

MarkedWindowProgram::MarkedWindowProgram(Kind kind, DWORD sessionId, const std::wstring& instanceId,
                                         const std::wstring& cardPath)
    : kind_(kind) {
    auto up = ready_.get_future();
    thread_ = std::thread([this, sessionId, instanceId, cardPath] { Body(sessionId, instanceId, cardPath); });
    up.wait();
}

MarkedWindowProgram::~MarkedWindowProgram() {
    if (kind_ == Silent) {
        released_.set_value();
    } else {
        kwin::PostQuit(threadId_);
    }
    thread_.join();
}

void MarkedWindowProgram::Body(DWORD sessionId, const std::wstring& instanceId, const std::wstring& cardPath) {
    threadId_ = GetCurrentThreadId();
    if (kind_ != Decoy) {
        card_ = CreateFileW(cardPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    }
    window_ = kwin::CreateTestWindow(sessionId, L"WinSta0\\Default", kind_ == Slow ? &Procedure : nullptr);
    if (window_) {
        SetPropW(window_, kProgramProperty, reinterpret_cast<HANDLE>(this));
        SetPropW(window_, instanceId.c_str(), reinterpret_cast<HANDLE>(1));
    }
    auto released = released_.get_future();
    ready_.set_value();
    if (kind_ == Silent) {
        released.wait();
    } else {
        kwin::RunMessageLoop();
    }
    if (window_) kwin::DestroyTestWindow(window_);
    const HANDLE card = card_.exchange(INVALID_HANDLE_VALUE);
    if (card != INVALID_HANDLE_VALUE) CloseHandle(card);
}

LRESULT MarkedWindowProgram::Procedure(HWND window, UINT message, WPARAM, LPARAM) {
    if (message != RegisterWindowMessageW(L"ForceClose")) return 0;
    auto* program = reinterpret_cast<MarkedWindowProgram*>(GetPropW(window, kProgramProperty));
    if (program == nullptr) return 0;
    Sleep(kSlowAnswerMs);
    const HANDLE card = program->card_.exchange(INVALID_HANDLE_VALUE);
    if (card != INVALID_HANDLE_VALUE) CloseHandle(card);
    return 0;
}

int MarkedWindowProgram::Asked() const {
    int asked = 0;
    for (const auto& message : kwin::DeliveredMessages()) asked += message.window == window_;
    return asked;
}

}  // namespace sim
