#include "test_support.h"

#include <cstdlib>
#include <sys/wait.h>

namespace flashwell::images::test {

int RunCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

} // namespace flashwell::images::test
