// Access tokens as far as launching into a session needs them: a process's
// token carries its session; a duplicate can be moved to another session by
// a process that holds the privilege (one the service manager started); and
// CreateProcessAsUserW starts a registered program in the token's session.
#include "platform/posix/faults.h"
#include "platform/posix/process.h"

#include <mutex>
#include <new>

namespace kwin {
namespace {

struct TokenObject final : KernelObject {
    TokenObject(DWORD sessionId, TOKEN_TYPE type) : KernelObject(ObjectType::Token), sessionId(sessionId), type(type) {}
    DWORD sessionId;  // guarded by Tokens().mutex
    const TOKEN_TYPE type;
};

struct SessionFailure {
    std::string function;
    DWORD sessionId;
    DWORD error;
};

struct TokenState {
    std::mutex mutex;
    std::vector<SessionFailure> sessionFailures;
    TokenCalls calls;
};
TokenState& TheTokens() {
    static auto* state = new TokenState;  // never destroyed: threads may outlive main
    return *state;
}

bool FailsForSession(const char* function, DWORD sessionId) {
    TokenState& state = TheTokens();
    std::lock_guard lock(state.mutex);
    for (const auto& failure : state.sessionFailures) {
        if (failure.function == function && failure.sessionId == sessionId) {
            SetLastErrorValue(failure.error);
            return true;
        }
    }
    return false;
}

DWORD SessionOf(const TokenObject& token) {
    std::lock_guard lock(TheTokens().mutex);
    return token.sessionId;
}

HANDLE InsertToken(DWORD sessionId, TOKEN_TYPE type) {
    std::shared_ptr<TokenObject> token;
    try {
        token = std::make_shared<TokenObject>(sessionId, type);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return InsertHandle(std::move(token));
}

// Setting a token's session ID needs the privilege to act as part of the
// operating system: the service's account has it, a user's program not.
bool CallerMayChangeSessions() {
    ProcessObject* process = CurrentProcess();
    return !process || process->start.startedByServiceManager;
}

}  // namespace

void FailCallsForSession(const std::string& function, DWORD sessionId, DWORD error) {
    TokenState& state = TheTokens();
    std::lock_guard lock(state.mutex);
    state.sessionFailures.push_back({function, sessionId, error});
}

void ClearSessionFailures() {
    TokenState& state = TheTokens();
    std::lock_guard lock(state.mutex);
    state.sessionFailures.clear();
    state.calls = {};
}

TokenCalls Tokens() {
    TokenState& state = TheTokens();
    std::lock_guard lock(state.mutex);
    return state.calls;
}

}  // namespace kwin

using kwin::TokenObject;

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
    if (kwin::ShouldFail("OpenProcessToken")) return FALSE;
    std::shared_ptr<kwin::ProcessObject> process =
        ProcessHandle == GetCurrentProcess()
            ? kwin::CurrentProcessShared()
            : kwin::ReferenceHandleAs<kwin::ProcessObject>(ProcessHandle, kwin::ObjectType::Process);
    if (!process && ProcessHandle != GetCurrentProcess()) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!TokenHandle) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE token = kwin::InsertToken(process ? process->start.sessionId : 0, TokenPrimary);
    if (!token) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    {
        std::lock_guard lock(kwin::TheTokens().mutex);
        ++kwin::TheTokens().calls.opened;
    }
    *TokenHandle = token;
    return TRUE;
}

extern "C" BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD, LPSECURITY_ATTRIBUTES,
                                        SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                                        PHANDLE phNewToken) {
    if (kwin::ShouldFail("DuplicateTokenEx")) return FALSE;
    auto existing = kwin::ReferenceHandleAs<TokenObject>(hExistingToken, kwin::ObjectType::Token);
    if (!existing) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!phNewToken || ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation ||
        (TokenType != TokenPrimary && TokenType != TokenImpersonation)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE token = kwin::InsertToken(kwin::SessionOf(*existing), TokenType);
    if (!token) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    {
        std::lock_guard lock(kwin::TheTokens().mutex);
        ++kwin::TheTokens().calls.duplicated;
    }
    *phNewToken = token;
    return TRUE;
}

// Only TokenSessionId is modelled.
extern "C" BOOL WINAPI SetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength) {
    if (kwin::ShouldFail("SetTokenInformation")) return FALSE;
    auto token = kwin::ReferenceHandleAs<TokenObject>(TokenHandle, kwin::ObjectType::Token);
    if (!token) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenInformationClass != TokenSessionId) {
        kwin::SetLastErrorValue(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!TokenInformation || TokenInformationLength != sizeof(DWORD)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!kwin::CallerMayChangeSessions()) {
        kwin::SetLastErrorValue(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    const DWORD sessionId = *static_cast<const DWORD*>(TokenInformation);
    if (kwin::FailsForSession("SetTokenInformation", sessionId)) return FALSE;
    std::lock_guard lock(kwin::TheTokens().mutex);
    token->sessionId = sessionId;
    return TRUE;
}

extern "C" BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                            LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags,
                                            LPVOID, LPCWSTR, LPSTARTUPINFOW lpStartupInfo,
                                            LPPROCESS_INFORMATION lpProcessInformation) {
    if (kwin::ShouldFail("CreateProcessAsUserW")) return FALSE;
    auto token = kwin::ReferenceHandleAs<TokenObject>(hToken, kwin::ObjectType::Token);
    if (!token || token->type != TokenPrimary) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpApplicationName || !lpStartupInfo || !lpProcessInformation || lpStartupInfo->cb != sizeof(STARTUPINFOW)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD sessionId = kwin::SessionOf(*token);
    if (kwin::FailsForSession("CreateProcessAsUserW", sessionId)) return FALSE;
    kwin::ProcessStart start;
    start.imagePath = lpApplicationName;
    start.commandLine = lpCommandLine ? lpCommandLine : L"";
    start.sessionId = sessionId;
    start.desktop = lpStartupInfo->lpDesktop ? lpStartupInfo->lpDesktop : L"";
    start.creationFlags = dwCreationFlags;
    DWORD error = 0;
    if (!kwin::StartProcess(start, lpProcessInformation, &error)) {
        kwin::SetLastErrorValue(error);
        return FALSE;
    }
    return TRUE;
}
