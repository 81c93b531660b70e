// The synthetic sensor's compiled loops (the _tessaro_synthetic module).
//
// Every value must come out to the last bit as the numpy steps that define the model do it:
// each goes through the same IEEE operations in the same order (these files are built without
// floating-point contraction), and the noise comes from the caller's numpy Generators through
// numpy's own distribution functions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <numpy/random/distributions.h>
}

namespace vorlake::tessaro::synthetic {

namespace py = pybind11;

inline constexpr std::size_t zones = 576;
inline constexpr std::size_t bins = 144;
inline constexpr std::size_t echoes = 3;
inline constexpr std::size_t targets = 16;  // groups of hits per zone
inline constexpr std::size_t pdc_channels = 4;

template <typename T>
using input = py::array_t<T, py::array::c_style | py::array::forcecast>;

// `value` (|value| < 2^51) rounded half to even, as rint in the default rounding mode: the sum
// with 1.5 * 2^52 has no fraction bits, and the addition rounds that way. Unlike a call to rint,
// the compiler can vectorise it.
inline double rounded(double value) {
    constexpr double shift = 6755399441055744.0;
    return (value + shift) - shift;
}

// The states of numpy Generators' bit generators, which numpy's distribution functions draw from.
std::vector<bitgen_t*> bit_generators(const py::list& generators);

py::tuple seen_peaks(const py::list& generators, const input<double>& signal,
                     const input<double>& distance, const input<double>& spread,
                     const input<double>& ambient, const std::vector<double>& min_mm,
                     const std::vector<double>& max_mm, const std::vector<double>& bin_mm,
                     const std::vector<bool>& whole, double saturation, double sigmas);

void histograms(const py::list& generators, const input<double>& ambient,
                const input<std::int64_t>& zone, const input<double>& height,
                const input<std::int64_t>& bounds, const input<double>& gaussians,
                const input<double>& photons, py::array_t<std::uint32_t, py::array::c_style> out,
                py::array_t<std::uint32_t, py::array::c_style> pdc);

py::tuple reported_echoes(const py::list& generators, const input<bool>& seen,
                          const input<double>& height, const input<double>& measured,
                          const input<double>& distance, const input<double>& ambient,
                          const std::vector<double>& bin_mm, double saturation, double sigmas,
                          const input<double>& rays);

py::array_t<std::uint8_t> raw_frame(const input<std::uint32_t>& reference,
                                    const input<std::uint32_t>& line_word,
                                    const input<std::uint32_t>& histogram,
                                    const input<std::uint32_t>& pdc,
                                    const input<double>& noise_level,
                                    const input<double>& radial_depth, const input<double>& points,
                                    const input<double>& peak_height,
                                    const input<std::uint32_t>& peak_status,
                                    const input<std::int64_t>& reference_rows,
                                    const input<std::int64_t>& pixel_rows, bool padded);

}  // namespace vorlake::tessaro::synthetic
