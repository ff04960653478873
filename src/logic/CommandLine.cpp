#include "logic/CommandLine.h"

#include "logic/VerifyReport.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <unistd.h>

namespace {

// The options Qt takes out of the command line itself, with one or two
// dashes; those that take a value take the next argument.
constexpr std::array<std::string_view, 15> kToolkitOptionsWithValue = {"platform",
                                                                       "platformpluginpath",
                                                                       "platformtheme",
                                                                       "plugin",
                                                                       "qwindowgeometry",
                                                                       "geometry",
                                                                       "qwindowicon",
                                                                       "icon",
                                                                       "qwindowtitle",
                                                                       "title",
                                                                       "session",
                                                                       "display",
                                                                       "name",
                                                                       "style",
                                                                       "stylesheet"};
constexpr std::array<std::string_view, 6> kToolkitFlags = {"reverse", "widgetcount", "nograb",
                                                           "dograb",  "sync",        "testability"};

// The toolkit option's name without its dashes, or empty.
std::string_view toolkitOption(std::string_view arg)
{
    if (arg.size() < 2 || arg[0] != '-')
        return {};
    std::string_view name = arg.substr(arg[1] == '-' ? 2 : 1);
    if (name.starts_with("qmljsdebugger="))
        return name;
    const auto in = [name](const auto &list) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    return in(kToolkitOptionsWithValue) || in(kToolkitFlags) ? name : std::string_view();
}

bool takesValue(std::string_view name)
{
    return std::find(kToolkitOptionsWithValue.begin(), kToolkitOptionsWithValue.end(), name) !=
           kToolkitOptionsWithValue.end();
}

CommandLine only(CommandLine::Mode mode)
{
    CommandLine line;
    line.mode = mode;
    return line;
}

CommandLine failure(std::string error)
{
    CommandLine line;
    line.mode = CommandLine::Mode::Error;
    line.error = std::move(error);
    return line;
}

} // namespace

CommandLine parseCommandLine(int argc, const char *const *argv)
{
    CommandLine line;
    bool verify = false;
    bool optionsEnded = false;
    bool toolkitOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            line.files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--verify") {
            verify = true;
        } else if (arg == "--help" || arg == "-h") {
            return only(CommandLine::Mode::Help);
        } else if (arg == "--version") {
            return only(CommandLine::Mode::Version);
        } else if (const std::string_view name = toolkitOption(arg); !name.empty()) {
            toolkitOptions = true;
            if (takesValue(name))
                ++i;
        } else {
            return failure("unknown option \"" + std::string(arg) + "\"");
        }
    }
    if (verify && toolkitOptions)
        return failure("--verify opens no window, so it takes no window options");
    if (verify && line.files.empty())
        return failure("--verify needs at least one file");
    line.mode = verify ? CommandLine::Mode::Verify : CommandLine::Mode::Window;
    return line;
}

std::string usageText(const std::string &program)
{
    return "Usage: " + program + " [FILE...]\n" + "       " + program +
           " --verify FILE...\n"
           "\n"
           "Without options, opens the player with the files as rows of its list.\n"
           "\n"
           "  --verify   check each APE file (its stored MD5 and every frame's CRC)\n"
           "             without opening a window; prints one line per file:\n"
           "             \"FILE: ok\", \"FILE: damaged: ...\" or \"FILE: unreadable: ...\".\n"
           "             Exit status 0: all intact, 1: some damaged, 2: some unreadable.\n"
           "  --help     print this text and exit\n"
           "  --version  print the version and exit\n"
           "  --         end of options: every later argument is a file\n";
}

int runWithoutWindow(const CommandLine &line, const char *program)
{
    const std::string name = std::filesystem::path(program ? program : "sorvano").filename();
    switch (line.mode) {
    case CommandLine::Mode::Help:
        std::fputs(usageText(name).c_str(), stdout);
        return 0;
    case CommandLine::Mode::Version:
        std::printf("%s %s\n", name.c_str(), SORVANO_VERSION);
        return 0;
    case CommandLine::Mode::Verify:
        // The progress line goes to a terminal only, so a log or a pipe gets
        // the result lines alone.
        return runVerifyCommand(line.files, stdout, ::isatty(STDERR_FILENO) ? stderr : nullptr);
    case CommandLine::Mode::Error:
    case CommandLine::Mode::Window:
        break;
    }
    std::fprintf(stderr, "%s: %s\nTry \"%s --help\".\n", name.c_str(), line.error.c_str(),
                 name.c_str());
    return 2;
}
