// The picture of a run: the last interferogram and its spectrum in two panels, drawn by gnuplot
// (pngcairo) when it is installed. The spectrum is drawn against wavenumber in cm^-1, high
// wavenumbers on the left as infrared spectra are read. The PNG appears under its real name only
// when gnuplot has finished it.
#pragma once

#include <string>
#include <vector>

namespace ostrel::session {

struct PlotCurve {
    std::string name;  // "forward" or "reverse"
    std::vector<double> values;
};

struct PlotRequest {
    std::string gnuplot = "gnuplot";  // program name (searched in PATH) or path
    std::string directory;
    std::string name = "plot.png";
    std::string title;
    std::string spectrumTitle;
    std::vector<PlotCurve> interferogram;
    std::vector<double> wavenumbers;  // cm^-1, the x of every spectrum curve
    std::string spectrumLabel = "single beam";
    std::vector<PlotCurve> spectrum;
    int timeoutMs = 30000;
};

enum class PlotResult { Drawn, GnuplotMissing, Failed };

// Draws the plot; *message says why it was not drawn (gnuplot's own complaint when it failed).
PlotResult drawPlot(const PlotRequest& request, std::string* message);

}  // namespace ostrel::session
