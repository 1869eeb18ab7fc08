// The instrument simulator: a spectrometer on loopback that speaks the command protocol, delivers
// data blocks and restarts on the reboot datagram, with switchable faults for the driver's
// time-out and error paths. Tests start it in-process; ostrel-sim runs it as a program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_sim/spectrum_model.h"

namespace ostrel::sim {

// The instrument's acquisition settings, as set by "points", "numscans", "scandir", "gain", "skip".
struct Settings {
    int points = 16384;  // points per scan and direction, 1 .. Config::maxPoints
    int scans = 16;      // scans co-added per block, >= 1
    int scanDir = 3;     // 1 forward, 2 reverse, 3 both
    int gain = 1;        // 0 .. 8; see Config::gainFactor
    int skip = 0;        // points skipped at the start of a scan; moves the burst left
    bool operator==(const Settings&) const = default;
};

struct Config {
    std::string address = "127.0.0.1";  // IPv4 address to listen on
    uint16_t commandPort = 0;           // 0 = pick a free port (read it back with commandPort())
    uint16_t dataPort = 0;
    uint16_t rebootPort = 0;

    double scanMsAt16k = 50.0;  // one scan at 16384 points; scales with points; 0 = instant
    double readyDelayMs = 5.0;  // pause between the last progress line and "ready"
    double rebootDownMs =
        1000.0;  // after "REBOOT": connections dropped, connects refused this long

    // The interferogram (see makeBlock): the cosine transform of the spectrum (see
    // spectrum_model.h), scaled to `amplitude` at its peak. All levels are per scan, before
    // co-adding.
    uint32_t seed = 1;           // noise seed; blocks are deterministic in (seed, settings, index)
    int32_t burstCentre = 8192;  // the point nearest zero path difference at skip 0
    double amplitude = 30000.0;  // peak of the centre burst on the low-gain channel
    double laserWavenumber = 15798.0;  // reference laser, cm^-1
    int undersampling = 2;             // points are undersampling / (2 laserWavenumber) cm apart
    std::vector<Absorber> absorbers;   // absorption lines in front of the source
    std::string spectrumFile;          // CSV "wavenumber,value" source; empty: the 1200 K source
    double zpdOffset = 0.3;   // zero path difference lies this fraction of a point after the
                              // burst's point (before it in the reverse half)
    double dispersion = 0.2;  // extra phase in rad, quadratic in wavenumber, at laser / u
    double gainFactor = 8.0;  // high-gain / low-gain ratio at gain 1; x2 per gain step, /2 at 0
    double saturation = 200000.0;  // the high-gain channel clips at +-saturation
    double lowOffset = 500.0;      // constant offset of the low-gain channel
    double noise = 3.0;  // std deviation of the noise, in low-gain units, both channels; 0: none

    int versionNumber = 42;  // "version\r\n" is answered "42\r\nOK\r\n"
    std::array<uint32_t, 16> fibreReadings = {100, 200,  300,  400,  500,  600,  700,  800,
                                              900, 1000, 1100, 1200, 1300, 1400, 1500, 1600};
    int trickleBytes = 1;            // Fault::Trickle sends this many bytes ...
    double trickleIntervalMs = 5.0;  // ... every this many milliseconds
    int maxPoints = 32768;           // "points" above this is answered "ERROR"
    // Each log (commands, data requests, datagrams) keeps at most this many of its newest
    // entries: a simulator inside a long-running program must not grow with every file.
    size_t logLimit = SIZE_MAX;
    Settings initialSettings{};  // the settings at start and after every reboot
};

// Faults replace or spoil the next message of a phase (see docs/simulator.md for the full table).
// "Cut" below means the first (n - 1) / 2 bytes of an n-byte message: less than half, so the
// final token of a text reply never arrives.
enum class Fault {
    None,
    ErrorReply,            // "ERROR\r\n" instead of the message
    LowerCaseError,        // "error\r\n" instead of the message
    NoGreeting,            // nothing instead of the message (a scan sequence halts)
    GreetingWithoutReady,  // "hello\r\n" instead of the message
    Silence,               // greeting phases: the connection never sends anything; others: as
                           // NoGreeting
    StallMidBlock,         // cut, the rest held until clearFaults() or the connection closes
    ShortBlock,            // cut, the rest dropped; the connection stays open and silent
    CloseMidBlock,         // cut, then the connection is closed (FIN)
    Trickle,               // the message in chunks of trickleBytes every trickleIntervalMs
    Reset,                 // RST instead of the message; the peer loses what it has not read
};

enum class Phase {
    CommandGreeting,  // "ready\r\n" on accepting the command connection
    DataGreeting,     // "ready\r\n" on accepting the data connection
    Command,          // the reply to any command but "scan"; prefix matched against the command
    ScanSequence,     // each progress line and the final "ready"; prefix matched against the line
    DataTransfer,     // the block sent for a data request; prefix matched against the request
};

const char* toString(Fault fault);
const char* toString(Phase phase);
// Accept the enumerator name ("StallMidBlock") or the short name ("stall"), any case.
bool parseFault(std::string_view text, Fault* fault);
bool parsePhase(std::string_view text, Phase* phase);

struct FaultSetting {
    Phase phase = Phase::Command;
    Fault fault = Fault::None;
    std::string prefix;
    int count = -1;
};
// "PHASE:FAULT[:PREFIX[:COUNT]]", e.g. "command:error:points:2" or "data:stall".
bool parseFaultSetting(std::string_view text, FaultSetting* rule, std::string* error);

class Simulator {
  public:
    using Settings = ostrel::sim::Settings;

    explicit Simulator(Config config = {});
    ~Simulator();  // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the listeners and starts the one service thread. False (and the reason) when a
    // port cannot be bound or the simulator already runs.
    bool start(std::string* error = nullptr);
    // Drops every connection and joins the thread; returns within a few milliseconds.
    void stop();

    // The bound ports (valid after start(); kept across reboots).
    uint16_t commandPort() const;
    uint16_t dataPort() const;
    uint16_t rebootPort() const;

    // Arms a fault for `count` occurrences (-1: until cleared). A rule with the same phase and
    // prefix is replaced; Fault::None or count 0 removes it. The prefix applies to Command,
    // ScanSequence and DataTransfer only; greeting rules must have an empty prefix.
    void setFault(Phase phase, Fault fault, std::string commandPrefix = "", int count = -1);
    // Removes every rule and releases stalled messages.
    void clearFaults();

    std::vector<std::string> commandLog() const;      // command lines, exact bytes incl. "\r\n"
    std::vector<std::string> dataRequestLog() const;  // data connection lines ("send\n")
    std::vector<std::string> datagramLog() const;     // every datagram on the reboot port
    void clearLogs();

    std::vector<uint8_t> lastBlock() const;  // the full block last answered to a data request
    int blocksSent() const;                  // data requests answered with a block (faulty too)
    int scansRun() const;                    // scan sequences completed with "ready"
    int progressLinesSent() const;           // single scans completed ("_N" lines, faulty too)
    int rebootCount() const;
    int connectionsAccepted() const;  // command and data connections together
    int connectedClients() const;     // 0 .. 2 connections open now
    bool rebooting() const;           // listeners closed after "REBOOT"
    Settings settings() const;

    // Polls `predicate` whenever the simulator's state changes (and at least every 10 ms) until
    // it holds or timeoutMs passes. The predicate may call the accessors above.
    bool waitFor(std::function<bool()> predicate, int timeoutMs) const;

    void setScanMsAt16k(double ms);  // applies from the next scan on
    // Puts another sample in the beam: the absorbers in front of the source, from the next block
    // on (the interferogram is made again, once). False with *error when it cannot be made.
    bool setAbsorbers(std::vector<Absorber> absorbers, std::string* error);
    void setTrickle(int bytes, double intervalMs);
    void setFibreReading(int input, uint32_t value);  // input 1 .. 16

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Length of the block for these settings: 16 + 8 * points per half present.
size_t blockLength(const Settings& settings);
// Index of the burst's centre within the forward (reverse == false) or reverse half; may lie
// outside 0 .. points - 1 when skip moves it off the scan.
int64_t burstIndex(const Config& config, const Settings& settings, bool reverse);
// Builds the DataBlock bytes the simulator sends for these settings as its block number
// `blockIndex` (0 for the first block after start): a 16-byte header of big-endian words
// (forward scan count, reverse scan count, points, blockIndex), then for each half present
// `points` records of big-endian high-gain and low-gain samples, summed over the scans. Computes
// the interferogram afresh (the simulator keeps it); empty when the configuration is invalid.
std::vector<uint8_t> makeBlock(const Config& config, const Settings& settings, uint64_t blockIndex);

}  // namespace ostrel::sim
