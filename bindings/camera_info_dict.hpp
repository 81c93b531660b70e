// The camera information record as Python sees it: nested dictionaries built afresh per call.
#pragma once

#include <pybind11/pybind11.h>

#include <vorlake/tessaro/sensor_modes.hpp>

namespace vorlake::tessaro::python {

pybind11::dict camera_info_to_dict(const camera_info& info);

}  // namespace vorlake::tessaro::python
