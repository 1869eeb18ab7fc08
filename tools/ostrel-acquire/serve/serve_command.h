// `ostrel-acquire serve`: the instrument as a service until SIGINT or SIGTERM.
#pragma once

namespace ostrel::acquire::serve {

// argv[0] is "serve".
int runServeCommand(int argc, char** argv);

}  // namespace ostrel::acquire::serve
