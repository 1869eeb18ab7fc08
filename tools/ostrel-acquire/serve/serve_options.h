// The command line of `ostrel-acquire serve`: where the server listens, where runs are kept, the
// instrument (an address, or the built-in simulator with its options), the token and TLS.
#pragma once

#include <string>
#include <vector>

#include "live_address.h"
#include "ostrel_session/session.h"

namespace ostrel::acquire::serve {

inline constexpr int kDefaultPort = 8470;

struct ServeOptions {
    live::LiveAddress listen{"127.0.0.1", kDefaultPort};
    std::string dataDirectory = "ostrel-data";
    std::string address;  // empty: the built-in simulator
    ostrel::session::SimulatorOptions simulator;
    // Absorbers the simulator's beam holds during runs of kind sample only (a demonstration
    // sample: the background runs see the empty beam, the sample runs see these).
    std::vector<std::string> sampleAbsorbers;
    std::string tokenFile;  // empty: a new token, written to DATA/.token
    std::string tlsCert;
    std::string tlsKey;
    bool insecureNetwork = false;  // serve plain HTTP on a non-loopback address
    std::string library;
    std::string trace;
    bool quiet = false;
    // Print the URL without the token (a service's output goes to a log): the token is in
    // DATA/.token or the --token-file.
    bool hideToken = false;
};

// Parses `serve [options]` (argv[0] is "serve"). False when the program should end now (help,
// or an error already printed) with *exitCode.
bool parseServeOptions(int argc, char** argv, ServeOptions* options, int* exitCode);

// What is wrong with where the server is asked to listen, or empty: a non-loopback address needs
// TLS (both the certificate and the key) or an explicit --insecure-network.
std::string checkListenSecurity(const ServeOptions& options);

}  // namespace ostrel::acquire::serve
