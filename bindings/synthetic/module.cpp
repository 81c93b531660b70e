// _tessaro_synthetic: the synthetic sensor's per-frame loops, private to tessaro.synthetic.
#include "kernels.hpp"

namespace py = pybind11;
using namespace vorlake::tessaro::synthetic;

PYBIND11_MODULE(_tessaro_synthetic, m) {
    m.doc() = "The synthetic sensor's per-frame loops (private to tessaro.synthetic)";
    m.def("seen_peaks", &seen_peaks, py::arg("generators"), py::arg("signal"),
          py::arg("distance"), py::arg("spread"), py::arg("ambient"), py::arg("min_mm"),
          py::arg("max_mm"), py::arg("bin_mm"), py::arg("whole"), py::arg("saturation"),
          py::arg("sigmas"));
    m.def("histograms", &histograms, py::arg("generators"), py::arg("ambient"), py::arg("zone"),
          py::arg("height"), py::arg("bounds"), py::arg("gaussians"), py::arg("photons"),
          py::arg("out"), py::arg("pdc"));
    m.def("reported_echoes", &reported_echoes, py::arg("generators"), py::arg("seen"),
          py::arg("height"), py::arg("measured"), py::arg("distance"), py::arg("ambient"),
          py::arg("bin_mm"), py::arg("saturation"), py::arg("sigmas"), py::arg("rays"));
    m.def("raw_frame", &raw_frame, py::arg("reference"), py::arg("line_word"),
          py::arg("histogram"), py::arg("pdc"), py::arg("noise_level"), py::arg("radial_depth"),
          py::arg("points"), py::arg("peak_height"), py::arg("peak_status"),
          py::arg("reference_rows"), py::arg("pixel_rows"), py::arg("padded"));
}
