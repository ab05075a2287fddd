#include "service/eventlog.h"

void LogEvent(LPCWSTR text, WORD eventType, DWORD messageId) {
    // Registered for this one report only: nothing is kept between reports.
    HANDLE source = RegisterEventSourceW(nullptr, L"KorvexS");
    if (source == nullptr) return;

    WCHAR buffer[kLogTextMaxChars + 1];
    size_t length = 0;
    if (text != nullptr) {
        while (length < kLogTextMaxChars && text[length] != L'\0') {
            buffer[length] = text[length];
            ++length;
        }
    }
    buffer[length] = L'\0';

    LPCWSTR strings[2] = {L"KorvexS", buffer};
    ReportEventW(source, eventType, 0, messageId, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}
