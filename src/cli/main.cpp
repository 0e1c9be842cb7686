// The program entry: the command line becomes one checked value, and the program runs it.
#include "cli/invocation.h"
#include "cli/program.h"

int main(int argc, char** argv) {
    const flashwell::cli::ParsedCommandLine parsed = flashwell::cli::ParseCommandLine(argc, argv);
    if (!parsed.invocation) return parsed.exitStatus;
    return flashwell::cli::RunProgram(*parsed.invocation);
}
