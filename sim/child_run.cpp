#include "sim/child_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define KORVEX_CHILD_LEAK_CHECK 1
#endif

namespace sim {
namespace {

// Marks a result file written by a child whose work returned.
constexpr char kReturned = 'R';
constexpr char kLeaked = 'L';

std::string ReadAll(FILE* file) {
    std::string text;
    std::fflush(file);
    std::rewind(file);
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    return text;
}

// The first lines of a sanitizer's report in the output; empty when none.
std::string SanitizerReport(const std::string& output) {
    static const char* const kMarkers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                                           "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer"};
    for (const char* marker : kMarkers) {
        const size_t at = output.find(marker);
        if (at == std::string::npos) continue;
        size_t end = at;
        for (int lines = 0; lines < 6 && end != std::string::npos; ++lines) end = output.find('\n', end + 1);
        return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
    return {};
}

// The child's side: runs the work, writes what it returned, and ends without
// running anything of the parent's (no exit handlers, no flushes of its
// buffers); the machine's threads may still be parked.
[[noreturn]] void Child(const std::function<std::string()>& work, FILE* result, FILE* output) {
    dup2(fileno(output), STDOUT_FILENO);
    dup2(fileno(output), STDERR_FILENO);
    const std::string report = work();
    bool leaked = false;
#if defined(KORVEX_CHILD_LEAK_CHECK)
    leaked = __lsan_do_recoverable_leak_check() != 0;
#endif
    std::fputc(leaked ? kLeaked : kReturned, result);
    std::fwrite(report.data(), 1, report.size(), result);
    std::fflush(result);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
}

}  // namespace

ChildRun RunInChild(const std::function<std::string()>& work, DWORD timeoutMs) {
    ChildRun run;
    FILE* resultFile = std::tmpfile();
    FILE* outputFile = std::tmpfile();
    if (resultFile == nullptr || outputFile == nullptr) {
        run.detail = "no temporary file for the run";
        if (resultFile) std::fclose(resultFile);
        if (outputFile) std::fclose(outputFile);
        return run;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const auto begin = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) Child(work, resultFile, outputFile);
    if (child < 0) {
        run.detail = std::string("fork failed: ") + std::strerror(errno);
        std::fclose(resultFile);
        std::fclose(outputFile);
        return run;
    }

    int status = 0;
    bool hung = false;
    const auto deadline = begin + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            hung = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    run.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();

    const std::string result = ReadAll(resultFile);
    run.output = ReadAll(outputFile);
    std::fclose(resultFile);
    std::fclose(outputFile);
    const bool returned = !result.empty();
    const bool leaked = returned && result[0] == kLeaked;
    if (returned) run.report = result.substr(1);
    const std::string sanitizer = SanitizerReport(run.output);

    if (hung) {
        run.ending = ChildEnding::Hung;
        run.detail = "killed after " + std::to_string(timeoutMs) + " ms";
    } else if (!sanitizer.empty() || leaked) {
        run.ending = ChildEnding::Sanitizer;
        run.detail = sanitizer.empty() ? "leaks reported" : sanitizer;
    } else if (WIFSIGNALED(status)) {
        run.ending = ChildEnding::Crashed;
        run.detail = std::string("signal ") + strsignal(WTERMSIG(status));
    } else if (!returned || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.ending = ChildEnding::Crashed;
        run.detail = "ended without a result (exit " + std::to_string(WEXITSTATUS(status)) + ")";
    } else {
        run.ending = ChildEnding::Finished;
    }
    return run;
}

}  // namespace sim
