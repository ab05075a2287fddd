#include "tools/korvex-sim/host_cli.h"

#include "tools/korvex-sim/host_session.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace korvex::cli {

std::optional<sim::CardModel> ParseModel(const std::string& text) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "pico") return sim::CardModel::Pico;
    if (lower == "six") return sim::CardModel::Six;
    if (lower == "duo") return sim::CardModel::Duo;
    if (lower == "eight") return sim::CardModel::Eight;
    return std::nullopt;
}

const char* ModelOptionName(sim::CardModel model) {
    switch (model) {
        case sim::CardModel::Pico: return "pico";
        case sim::CardModel::Six: return "six";
        case sim::CardModel::Duo0:
        case sim::CardModel::Duo: return "duo";
        case sim::CardModel::Eight: return "eight";
    }
    return "?";
}

bool Options::Next(std::string* name) {
    if (failed() || next_ >= args_.size()) return false;
    const std::string& arg = args_[next_++];
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
        current_ = arg.substr(0, equals);
        inlineValue_ = arg.substr(equals + 1);
    } else {
        current_ = arg;
        inlineValue_.reset();
    }
    *name = current_;
    return true;
}

bool Options::Value(std::string* value) {
    if (inlineValue_) {
        *value = *inlineValue_;
        inlineValue_.reset();
        return true;
    }
    if (next_ >= args_.size()) {
        Fail(current_ + " needs a value");
        return false;
    }
    *value = args_[next_++];
    return true;
}

bool Options::Number(double* value, double minimum, double maximum) {
    std::string text;
    if (!Value(&text)) return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < minimum || parsed > maximum) {
        Fail(current_ + ": '" + text + "' is not a number from " + std::to_string(minimum) + " to " +
             std::to_string(maximum));
        return false;
    }
    *value = parsed;
    return true;
}

bool Options::Model(sim::CardModel* model) {
    std::string text;
    if (!Value(&text)) return false;
    std::optional<sim::CardModel> parsed = ParseModel(text);
    if (!parsed) {
        Fail(current_ + ": '" + text + "' is none of pico, six, duo, eight");
        return false;
    }
    *model = *parsed;
    return true;
}

bool Options::Finish(const char* command, void (*printUsage)(FILE* out)) const {
    if (!failed()) return true;
    fprintf(stderr, "korvex-sim %s: %s\n\n", command, error_.c_str());
    printUsage(stderr);
    return false;
}

bool Options::Integer(long* value, long minimum, long maximum) {
    std::string text;
    if (!Value(&text)) return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || parsed < minimum || parsed > maximum) {
        Fail(current_ + ": '" + text + "' is not a whole number from " + std::to_string(minimum) + " to " +
             std::to_string(maximum));
        return false;
    }
    *value = parsed;
    return true;
}

void PrintCardCommandUsageHead(FILE* out, const char* command) {
    fprintf(out,
            "Usage: korvex-sim %s [options]\n"
            "\n",
            command);
    host::PrintSessionUsage(out);
    fprintf(out,
            "  --model pico|six|duo|eight   the simulated card (default six)\n"
            "  --rate HZ                    its sample rate (default 48000)\n"
            "  --buffer-ms MS               its preferred buffer length (default 10)\n");
}

}  // namespace korvex::cli
