#include "tools/korvex-sim/storm_isolated.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace korvex::storm {
namespace {

// The child's report, one item a line:
//   op NAME COUNT | granted N | refused N | surprises N | excused N | longest MS | controls N
//   failed STEP   followed by the failure's text up to the end
std::string Encode(const std::optional<Failure>& failure, const Figures& figures) {
    std::ostringstream out;
    for (const auto& [op, count] : figures.ops) out << "op " << op << ' ' << count << '\n';
    out << "granted " << figures.granted << "\nrefused " << figures.refused << "\nsurprises " << figures.surprises
        << "\nexcused " << figures.excusedHandles << "\nlongest " << figures.longestAnswer << "\ncontrols "
        << figures.controls << '\n';
    if (failure) out << "failed " << failure->step << '\n' << failure->what;
    return out.str();
}

std::optional<Failure> Decode(const std::string& report, Figures* figures) {
    std::istringstream in(report);
    std::string key;
    while (in >> key) {
        if (key == "op") {
            std::string op;
            int count = 0;
            in >> op >> count;
            figures->ops[op] += count;
        } else if (key == "granted") {
            in >> figures->granted;
        } else if (key == "refused") {
            in >> figures->refused;
        } else if (key == "surprises") {
            in >> figures->surprises;
        } else if (key == "excused") {
            in >> figures->excusedHandles;
        } else if (key == "longest") {
            in >> figures->longestAnswer;
        } else if (key == "controls") {
            in >> figures->controls;
        } else if (key == "failed") {
            Failure failure{};
            in >> failure.step;
            in.get();
            std::getline(in, failure.what, '\0');
            return failure;
        }
    }
    return std::nullopt;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) return;
        done += static_cast<size_t>(wrote);
    }
}

// Reads the child's report until it closes its end or the time is up.
bool ReadReport(int fd, std::chrono::steady_clock::time_point deadline, std::string* report) {
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        report->append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace

std::optional<Failure> RunIsolated(const std::vector<Step>& steps, const Settings& settings, Figures* figures,
                                   unsigned boundSeconds) {
    int channel[2];
    if (pipe(channel) != 0) return Failure{steps.size(), std::string("no pipe for the run: ") + std::strerror(errno)};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        return Failure{steps.size(), std::string("no process for the run: ") + std::strerror(errno)};
    }
    if (child == 0) {
        close(channel[0]);
        Figures own;
        const auto failure = Run(steps, settings, &own);
        std::fflush(stdout);
        WriteAll(channel[1], Encode(failure, own));
        // The machine's threads may still be parked; nothing of this process
        // is to be torn down but by its end.
        _exit(0);
    }
    close(channel[1]);
    std::string report;
    const bool ended = ReadReport(channel[0], std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds),
                                  &report);
    close(channel[0]);
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended) return Failure{steps.size(), "the run did not end within " + std::to_string(boundSeconds) + " s"};
    if (WIFSIGNALED(status)) {
        return Failure{steps.size(), std::string("the run died of signal ") + strsignal(WTERMSIG(status))};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.empty()) {
        return Failure{steps.size(), "the run ended with exit code " + std::to_string(WEXITSTATUS(status)) +
                                         " and no report"};
    }
    return Decode(report, figures);
}

}  // namespace korvex::storm
