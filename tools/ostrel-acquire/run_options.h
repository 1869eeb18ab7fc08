// What a run is asked to do, and how the program ends.
#pragma once

#include <string>
#include <vector>

#include "jcamp_writer.h"
#include "ostrel_spectra/spectra.h"
#include "output_formats.h"

namespace ostrel::acquire {

// The program's exit status.
enum ExitCode {
    ExitOk = 0,
    ExitUsage = 2,        // the command line is wrong
    ExitLibrary = 3,      // the driver library cannot be loaded, or the simulator cannot start
    ExitConnect = 4,      // the instrument cannot be reached or does not greet
    ExitSetting = 5,      // the instrument refused a setting or the calibration failed
    ExitAcquisition = 6,  // the run ended on an error
    ExitOutput = 7,       // an output file cannot be written
    ExitInterrupted = 130,
};

struct RunOptions {
    std::string address;
    bool simulator = false;  // the address is the built-in simulator (reported in the summary)
    int points = 16384;      // per direction
    int scans = 16;
    int files = 4;  // 0: until interrupted
    int direction = 3;
    int gain = 1;
    int skip = 0;
    bool calibrate = false;  // the calibration sets the skip points instead of `skip`
    std::string outputDirectory = "acquire-out";
    OutputFormats formats;  // csv,jcamp unless --format says otherwise
    JcampForm jcampForm = JcampForm::Affn;
    std::vector<std::string> background;  // JCAMP-DX single beams or earlier runs' directories
    double backgroundThresholdPercent = 1.0;
    double intervalSeconds = 0.0;  // 0: files follow one another in one co-add run
    // How each half becomes a spectrum; the laser wavenumber and the undersampling ratio are
    // also the built-in simulator's.
    ostrel::spectra::Settings spectra;
    bool quiet = false;
    bool plot = true;
    std::string gnuplot = "gnuplot";
};

}  // namespace ostrel::acquire
