// Access tokens as far as launching into a session needs them: a token names
// an account and holds privileges, and carries a session; a process's token
// is its own; a duplicate or a restricted copy (without privileges) can be
// moved to another session by a process that holds the privilege to act as
// part of the operating system, which may also take the token of the user
// logged on to a session; CreateProcessAsUserW starts a registered program in
// the token's session, as its account, with the environment given.
#include "platform/posix/faults.h"
#include "platform/posix/process.h"

#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <new>

namespace kwin {
namespace {

constexpr wchar_t kTcbPrivilege[] = L"SeTcbPrivilege";
constexpr wchar_t kChangeNotifyPrivilege[] = L"SeChangeNotifyPrivilege";

struct TokenObject final : KernelObject {
    TokenObject(DWORD sessionId, TOKEN_TYPE type, std::wstring user, std::vector<std::wstring> privileges)
        : KernelObject(ObjectType::Token),
          sessionId(sessionId),
          type(type),
          user(std::move(user)),
          privileges(std::move(privileges)) {}
    DWORD sessionId;  // guarded by Tokens().mutex
    const TOKEN_TYPE type;
    const std::wstring user;
    const std::vector<std::wstring> privileges;
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

HANDLE InsertToken(DWORD sessionId, TOKEN_TYPE type, const std::wstring& user,
                   const std::vector<std::wstring>& privileges) {
    std::shared_ptr<TokenObject> token;
    try {
        token = std::make_shared<TokenObject>(sessionId, type, user, privileges);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return InsertHandle(std::move(token));
}

bool Holds(const std::vector<std::wstring>& privileges, const wchar_t* privilege) {
    for (const auto& held : privileges) {
        if (held == privilege) return true;
    }
    return false;
}

// Setting a token's session ID and taking a user's token need the privilege
// to act as part of the operating system: the service's account has it, a
// user's program and a restricted token not. The host program acts as the
// machine and holds it.
bool CallerActsAsSystem() {
    ProcessObject* process = CurrentProcess();
    return !process || Holds(process->start.privileges, kTcbPrivilege);
}

// "NAME=value" strings of a UTF-16 environment block (double terminated).
std::vector<std::wstring> ParseEnvironment(const WCHAR* block) {
    std::vector<std::wstring> variables;
    while (*block) {
        variables.emplace_back(block);
        block += variables.back().size() + 1;
    }
    return variables;
}

}  // namespace

std::vector<std::wstring> LocalSystemPrivileges() {
    return {L"SeAssignPrimaryTokenPrivilege", L"SeAuditPrivilege",     L"SeChangeNotifyPrivilege",
            L"SeCreateGlobalPrivilege",       L"SeDebugPrivilege",     L"SeImpersonatePrivilege",
            L"SeIncreaseQuotaPrivilege",      L"SeLoadDriverPrivilege", L"SeSecurityPrivilege",
            L"SeShutdownPrivilege",           L"SeTakeOwnershipPrivilege", L"SeTcbPrivilege"};
}

std::vector<std::wstring> UserPrivileges() {
    return {L"SeChangeNotifyPrivilege", L"SeIncreaseWorkingSetPrivilege", L"SeShutdownPrivilege",
            L"SeTimeZonePrivilege", L"SeUndockPrivilege"};
}

std::vector<std::wstring> EnvironmentOf(const std::wstring& user) {
    const std::wstring profile =
        user == kLocalSystem ? L"C:\\Windows\\system32\\config\\systemprofile" : L"C:\\Users\\" + user;
    return {L"SystemRoot=C:\\Windows", L"USERNAME=" + user, L"USERPROFILE=" + profile};
}

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
    HANDLE token = process ? kwin::InsertToken(process->start.sessionId, TokenPrimary, process->start.user,
                                               process->start.privileges)
                           : kwin::InsertToken(0, TokenPrimary, kwin::kLocalSystem, kwin::LocalSystemPrivileges());
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
    HANDLE token = kwin::InsertToken(kwin::SessionOf(*existing), TokenType, existing->user, existing->privileges);
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
    if (!kwin::CallerActsAsSystem()) {
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
                                            LPVOID lpEnvironment, LPCWSTR, LPSTARTUPINFOW lpStartupInfo,
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
    // A block without CREATE_UNICODE_ENVIRONMENT would be read as 8-bit text.
    if (lpEnvironment && !(dwCreationFlags & CREATE_UNICODE_ENVIRONMENT)) {
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
    start.user = token->user;
    start.privileges = token->privileges;
    try {
        if (lpEnvironment) {
            start.environment = kwin::ParseEnvironment(static_cast<const WCHAR*>(lpEnvironment));
        } else if (kwin::ProcessObject* parent = kwin::CurrentProcess()) {
            start.environment = parent->start.environment;  // the caller's own
        }
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DWORD error = 0;
    if (!kwin::StartProcess(start, lpProcessInformation, &error)) {
        kwin::SetLastErrorValue(error);
        return FALSE;
    }
    return TRUE;
}

// Only DISABLE_MAX_PRIVILEGE is modelled: every privilege but
// SeChangeNotifyPrivilege goes; no SID lists.
extern "C" BOOL WINAPI CreateRestrictedToken(HANDLE ExistingTokenHandle, DWORD Flags, DWORD DisableSidCount,
                                             PSID_AND_ATTRIBUTES, DWORD DeletePrivilegeCount, PLUID_AND_ATTRIBUTES,
                                             DWORD RestrictedSidCount, PSID_AND_ATTRIBUTES, PHANDLE NewTokenHandle) {
    if (kwin::ShouldFail("CreateRestrictedToken")) return FALSE;
    auto existing = kwin::ReferenceHandleAs<TokenObject>(ExistingTokenHandle, kwin::ObjectType::Token);
    if (!existing) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!NewTokenHandle || (Flags & ~DWORD{DISABLE_MAX_PRIVILEGE}) != 0 || DisableSidCount != 0 ||
        DeletePrivilegeCount != 0 || RestrictedSidCount != 0) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::wstring> privileges = existing->privileges;
    if (Flags & DISABLE_MAX_PRIVILEGE) {
        privileges.clear();
        if (kwin::Holds(existing->privileges, kwin::kChangeNotifyPrivilege)) {
            privileges.push_back(kwin::kChangeNotifyPrivilege);
        }
    }
    HANDLE token = kwin::InsertToken(kwin::SessionOf(*existing), existing->type, existing->user, privileges);
    if (!token) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    {
        std::lock_guard lock(kwin::TheTokens().mutex);
        ++kwin::TheTokens().calls.restricted;
    }
    *NewTokenHandle = token;
    return TRUE;
}

extern "C" BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
    if (kwin::ShouldFail("WTSQueryUserToken")) return FALSE;
    if (!phToken) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!kwin::CallerActsAsSystem()) {
        kwin::SetLastErrorValue(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    std::wstring user;
    if (!kwin::SessionUser(SessionId, &user)) {
        kwin::SetLastErrorValue(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (user.empty()) {
        kwin::SetLastErrorValue(ERROR_NO_TOKEN);
        return FALSE;
    }
    HANDLE token = kwin::InsertToken(SessionId, TokenPrimary, user, kwin::UserPrivileges());
    if (!token) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    {
        std::lock_guard lock(kwin::TheTokens().mutex);
        ++kwin::TheTokens().calls.userTokens;
    }
    *phToken = token;
    return TRUE;
}

// One allocation, released by DestroyEnvironmentBlock.
extern "C" BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL) {
    if (kwin::ShouldFail("CreateEnvironmentBlock")) return FALSE;
    if (!lpEnvironment) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring user = kwin::kLocalSystem;
    if (hToken) {
        auto token = kwin::ReferenceHandleAs<TokenObject>(hToken, kwin::ObjectType::Token);
        if (!token) {
            kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        user = token->user;
    }
    std::wstring text;
    try {
        for (const auto& variable : kwin::EnvironmentOf(user)) {
            text += variable;
            text.push_back(L'\0');
        }
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* block = static_cast<WCHAR*>(std::calloc(text.size() + 1, sizeof(WCHAR)));
    if (!block) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::wmemcpy(block, text.data(), text.size());
    {
        std::lock_guard lock(kwin::TheTokens().mutex);
        ++kwin::TheTokens().calls.environmentBlocks;
    }
    *lpEnvironment = block;
    return TRUE;
}

extern "C" BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment) {
    if (!lpEnvironment) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::free(lpEnvironment);
    std::lock_guard lock(kwin::TheTokens().mutex);
    --kwin::TheTokens().calls.environmentBlocks;
    return TRUE;
}
