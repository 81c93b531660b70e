// The numpy Generators the synthetic sensor's loops draw from.
#include "kernels.hpp"

namespace vorlake::tessaro::synthetic {

std::vector<bitgen_t*> bit_generators(const py::list& generators) {
    std::vector<bitgen_t*> states;
    for (const auto& generator : generators) {
        // The state numpy's distribution functions take, behind the capsule numpy documents for
        // them. The caller's Generators are its own: no other thread draws while these run.
        py::object capsule = generator.attr("bit_generator").attr("capsule");
        auto* state = static_cast<bitgen_t*>(PyCapsule_GetPointer(capsule.ptr(), "BitGenerator"));
        if (state == nullptr) {
            throw py::error_already_set();
        }
        states.push_back(state);
    }
    return states;
}

}  // namespace vorlake::tessaro::synthetic
