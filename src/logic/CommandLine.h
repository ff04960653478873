#pragma once

#include <string>
#include <vector>

// What the program was asked for on its command line. File names stay the
// bytes they came as, so a name in no particular encoding still opens.
struct CommandLine
{
    enum class Mode
    {
        Window,  // the player, with files to add as rows
        Verify,  // --verify FILE...: check each file and end
        Help,    // --help
        Version, // --version
        Error,   // an option that does not exist, or --verify without files
    };
    Mode mode = Mode::Window;
    std::vector<std::string> files;
    std::string error; // for Mode::Error: what is wrong, as one sentence
};

// Reads argv (argv[0] is the program). The toolkit's own options (-platform,
// -style, -session and the like) are left for it in window mode; every other
// argument starting with a dash is an error, and "--" ends the options, so a
// file whose name begins with a dash can be named after it.
CommandLine parseCommandLine(int argc, const char *const *argv);

// The --help text, ending in a newline.
std::string usageText(const std::string &program);

// Does what a mode other than Window asks, without a window, a display or
// the sound device, and returns the exit status: the help or the version on
// stdout (0), an error on stderr (2), or the verify's lines.
int runWithoutWindow(const CommandLine &line, const char *program);
