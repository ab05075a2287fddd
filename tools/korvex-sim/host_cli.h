// The command line of korvex-sim: the subcommands and the option parsing
// they share.
#pragma once

#include "sim/card_config.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace korvex::cli {

// Exit statuses of every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFault = 1;  // the run showed a fault (lost half, leak, ...)
inline constexpr int kExitUsage = 2;  // bad options, or the setup itself failed

int RunProbe(const std::vector<std::string>& args);
int RunStream(const std::vector<std::string>& args);
int RunService(const std::vector<std::string>& args);
// korvex-sim service --storm N [--seed S] [--seeds K] [--verbose]
int RunServiceStorm(const std::vector<std::string>& args);
int RunLoopback(const std::vector<std::string>& args);
void PrintProbeUsage(FILE* out);
void PrintStreamUsage(FILE* out);
void PrintServiceUsage(FILE* out);
void PrintLoopbackUsage(FILE* out);
// The head of the usage of a command that sets up a simulated card:
// "Usage: korvex-sim COMMAND [options]", the session's options and the card's
// model, rate and buffer length.
void PrintCardCommandUsageHead(FILE* out, const char* command);

// "pico", "six", "duo", "eight" (any case).
std::optional<sim::CardModel> ParseModel(const std::string& text);
const char* ModelOptionName(sim::CardModel model);

// Walks "--name value" and "--name=value" arguments.
class Options {
public:
    explicit Options(const std::vector<std::string>& args) : args_(args) {}
    // The next option's name (with its dashes), or false at the end.
    bool Next(std::string* name);
    // The value of the option just returned; false (and a message) if missing.
    bool Value(std::string* value);
    bool Number(double* value, double minimum, double maximum);
    bool Integer(long* value, long minimum, long maximum);
    // A card model by its option name (ParseModel).
    bool Model(sim::CardModel* model);
    // False after printing the error and the usage, when a value was bad.
    bool Finish(const char* command, void (*printUsage)(FILE* out)) const;
    // Set when a value was missing or malformed.
    const std::string& error() const { return error_; }
    bool failed() const { return !error_.empty(); }
    void Fail(const std::string& message) {
        if (error_.empty()) error_ = message;
    }

private:
    const std::vector<std::string>& args_;
    size_t next_ = 0;
    std::string current_;
    std::optional<std::string> inlineValue_;
    std::string error_;
};

}  // namespace korvex::cli
