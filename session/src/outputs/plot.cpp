#include "outputs/plot.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "outputs/output_files.h"

extern char** environ;

namespace ostrel::session {
namespace {

// Gnuplot reads its text between single quotes literally except for a doubled quote.
std::string quoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) {
        result += c;
        if (c == '\'') {
            result += '\'';
        }
    }
    return result + "'";
}

// The first column is the row number, or `x` when it is given.
void writeDataBlock(std::FILE* stream, const char* name, const std::vector<PlotCurve>& curves,
                    const std::vector<double>* x = nullptr) {
    std::fprintf(stream, "$%s << EOD\n", name);
    size_t rows = curves.empty() ? 0 : curves.front().values.size();
    for (const PlotCurve& curve : curves) {
        rows = std::min(rows, curve.values.size());
    }
    if (x != nullptr) {
        rows = std::min(rows, x->size());
    }
    for (size_t row = 0; row < rows; ++row) {
        if (x != nullptr) {
            std::fputs(formatNumber((*x)[row]).c_str(), stream);
        } else {
            std::fprintf(stream, "%zu", row);
        }
        for (const PlotCurve& curve : curves) {
            std::fprintf(stream, " %s", formatNumber(curve.values[row]).c_str());
        }
        std::fputc('\n', stream);
    }
    std::fputs("EOD\n", stream);
}

void writePlotCommand(std::FILE* stream, const char* block, const std::vector<PlotCurve>& curves) {
    std::fputs("plot ", stream);
    for (size_t k = 0; k < curves.size(); ++k) {
        std::fprintf(stream, "%s$%s using 1:%zu with lines lw 1 title %s", k == 0 ? "" : ", ",
                     block, k + 2, quoted(curves[k].name).c_str());
    }
    std::fputc('\n', stream);
}

void writeScript(std::FILE* stream, const PlotRequest& request, const std::string& output) {
    writeDataBlock(stream, "interferogram", request.interferogram);
    writeDataBlock(stream, "spectrum", request.spectrum, &request.wavenumbers);
    std::fprintf(stream,
                 "set terminal pngcairo size 1200,900 enhanced font 'sans,10'\n"
                 "set output %s\n"
                 "set multiplot layout 2,1 title %s\n"
                 "set grid\n"
                 "set key top right\n"
                 "set autoscale xfix\n"
                 "set title 'Interferogram'\n"
                 "set xlabel 'point'\n"
                 "set ylabel 'signal'\n",
                 quoted(output).c_str(), quoted(request.title).c_str());
    writePlotCommand(stream, "interferogram", request.interferogram);
    std::fprintf(stream,
                 "set title %s\n"
                 "set xlabel 'wavenumber (cm^{-1})'\n"
                 "set ylabel %s\n"
                 "set xrange [*:*] reverse\n",
                 quoted(request.spectrumTitle).c_str(), quoted(request.spectrumLabel).c_str());
    writePlotCommand(stream, "spectrum", request.spectrum);
    std::fputs("unset multiplot\nset output\n", stream);
}

long long nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Collects the child's standard error until it closes (the child has exited) or the limit passes.
bool collectOutput(int descriptor, int timeoutMs, std::string* text) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0) {
            return false;
        }
        pollfd entry{descriptor, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            return true;
        }
        if (count > 0 && text->size() < 4096) {
            text->append(buffer, static_cast<size_t>(count));
        }
        if (count < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
}

// Runs program with one argument; *status is its exit status, -1 when it was killed at the limit.
int runProgram(const std::string& program, const std::string& argument, int timeoutMs,
               std::string* errorText, int* status) {
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        return errno;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);
    std::string programCopy = program;
    std::string argumentCopy = argument;
    char* arguments[] = {programCopy.data(), argumentCopy.data(), nullptr};
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(errorPipe[1]);
    if (spawned != 0) {
        close(errorPipe[0]);
        return spawned;
    }
    const bool finished = collectOutput(errorPipe[0], timeoutMs, errorText);
    close(errorPipe[0]);
    if (!finished) {
        kill(child, SIGKILL);
    }
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    *status = finished && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    return 0;
}

}  // namespace

PlotResult drawPlot(const PlotRequest& request, std::string* message) {
    const std::string suffix = ".tmp-" + std::to_string(getpid());
    const std::string script = request.directory + "/." + request.name + ".gp" + suffix;
    const std::string picture = request.directory + "/." + request.name + suffix;
    const std::string finalPath = request.directory + "/" + request.name;
    std::FILE* stream = std::fopen(script.c_str(), "w");
    if (stream == nullptr) {
        *message = "cannot write " + script + ": " + std::strerror(errno);
        return PlotResult::Failed;
    }
    writeScript(stream, request, picture);
    const bool written = std::fclose(stream) == 0;
    std::string errorText;
    int status = 0;
    const int spawnError =
        written ? runProgram(request.gnuplot, script, request.timeoutMs, &errorText, &status) : 0;
    unlink(script.c_str());
    PlotResult result = PlotResult::Drawn;
    if (!written) {
        *message = "cannot write " + script;
        result = PlotResult::Failed;
    } else if (spawnError == ENOENT) {
        *message = request.gnuplot + " is not installed";
        result = PlotResult::GnuplotMissing;
    } else if (spawnError != 0) {
        *message = "cannot run " + request.gnuplot + ": " + std::strerror(spawnError);
        result = PlotResult::Failed;
    } else if (status != 0) {
        *message = status < 0 ? request.gnuplot + " did not finish within " +
                                    std::to_string(request.timeoutMs / 1000) + " s"
                              : request.gnuplot + " failed: " + errorText;
        result = PlotResult::Failed;
    } else if (std::rename(picture.c_str(), finalPath.c_str()) != 0) {
        *message = "cannot complete " + finalPath + ": " + std::strerror(errno);
        result = PlotResult::Failed;
    }
    if (result != PlotResult::Drawn) {
        unlink(picture.c_str());
        while (!message->empty() && (message->back() == '\n' || message->back() == '\r')) {
            message->pop_back();
        }
    }
    return result;
}

}  // namespace ostrel::session
