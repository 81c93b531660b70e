#include "processing/dual_depth_select_nearfar.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <limits>
#include <utility>

#include "messages/message_output.hpp"

namespace vorlake::tessaro {

namespace {

void write_line(const char* text) {
    write_marked_message(message_stream::standard_output, text);
}

}  // namespace

dual_depth_select_nearfar::dual_depth_select_nearfar(std::uint32_t pixel_count,
                                                     const dual_depth_params& params)
    : params(params), pixel_count(pixel_count) {}

// Every vector the merge reads or writes is checked before any pixel is touched, peak status
// included: a frame that was not prepared is refused, never read or written out of bounds.
bool dual_depth_select_nearfar::check_sizes(const frame_buffer& f) const {
    const std::size_t both = 2 * std::size_t{pixel_count};
    if (f.point_cloud.size() < echo_count || f.cartesian_depth.size() < echo_count ||
        f.radial_depth.size() < echo_count || f.peak_height.size() < echo_count ||
        f.peak_status.size() < echo_count) {
        write_line("dual depth: invalid number of echoes");
        return false;
    }
    for (std::uint32_t e = 0; e < echo_count; ++e) {
        const char* failure = nullptr;
        if (f.point_cloud[e].size() != both)
            failure = "dual depth: invalid size for point cloud";
        else if (f.cartesian_depth[e].size() != both)
            failure = "dual depth: invalid size for cartesian depth: ";
        else if (f.radial_depth[e].size() != both)
            failure = "dual depth: invalid size for radial depth: ";
        else if (f.peak_height[e].size() != both)
            failure = "dual depth: invalid size for peak_height";
        else if (e == 0 && f.peak_status[e].size() != both)
            failure = "dual depth: invalid size for peak_status";
        else if (e > 0 && f.radial_depth[e].size() != f.radial_depth[0].size())
            failure = "dual depth: non-uniform radial_depth";
        else if (e > 0 && f.point_cloud[e].size() != f.point_cloud[0].size())
            failure = "dual depth: non-uniform point_cloud";
        else if (e > 0 && f.peak_height[e].size() != f.peak_height[0].size())
            failure = "dual depth: non-uniform peak_height";
        else if (e > 0 && f.peak_status[e].size() != f.peak_status[0].size())
            failure = "dual depth: non-uniform peak_status";
        if (failure != nullptr) {
            write_line(failure);
            return false;
        }
    }
    return true;
}

int dual_depth_select_nearfar::process(frame_buffer& f) {
    echo_count = f.max_depth_index;
    if (echo_count > max_echoes) {
        write_line("dual depth: invalid number of echoes");
        return -EINVAL;
    }
    if (echo_count == 0)
        return 0;
    if (!check_sizes(f))
        return -EINVAL;

    std::array<echo_outputs, max_echoes> outputs{};
    for (std::uint32_t e = 0; e < echo_count; ++e)
        outputs[e] = {f.radial_depth[e].data(), f.cartesian_depth[e].data(), f.peak_height[e].data(),
                      f.peak_status[e].data(), f.point_cloud[e].data()};
    // The candidate loops are unrolled per echo count.
    switch (echo_count) {
        case 1: process_pixels<1>(outputs); break;
        case 2: process_pixels<2>(outputs); break;
        default: process_pixels<3>(outputs); break;
    }
    for (std::uint32_t e = 0; e < echo_count; ++e) {
        // Shrinking keeps the storage, so the growth of the next prepare_frame costs nothing.
        f.point_cloud[e].resize(pixel_count);
        f.cartesian_depth[e].resize(pixel_count);
        f.radial_depth[e].resize(pixel_count);
        f.peak_height[e].resize(pixel_count);
        f.peak_status[e].resize(pixel_count);
    }
    return 0;
}

namespace {

// Choosing and writing work on bit masks over the sorted positions of a pixel's candidates
// (bit p for position p): the scans "from the far end down" of the rules become table lookups
// instead of loops whose branches depend on the data.
struct position_bits {
    static constexpr std::uint32_t positions = 2 * dual_depth_select_nearfar::max_echoes;
    static constexpr std::uint32_t masks = 1u << positions;

    std::array<std::uint8_t, masks> count{};
    // highest[n][m]: the n highest set bits of m (all of them when m has fewer).
    std::array<std::array<std::uint8_t, masks>, dual_depth_select_nearfar::max_echoes + 1> highest{};

    constexpr position_bits() {
        for (std::uint32_t m = 0; m < masks; ++m) {
            for (std::uint32_t b = m; b != 0; b &= b - 1)
                ++count[m];
            for (std::uint32_t n = 0; n < highest.size(); ++n) {
                std::uint32_t taken = 0;
                for (std::uint32_t p = positions; p-- > 0 && std::popcount(taken) < static_cast<int>(n);)
                    if (m & (1u << p))
                        taken |= 1u << p;
                highest[n][m] = static_cast<std::uint8_t>(taken);
            }
        }
    }
};

constexpr position_bits bits{};

}  // namespace

// Per pixel there are 2E candidates, k = 2 * echo + sub-frame. Only their keys are gathered;
// their flags are bit masks (bit k for candidate k), and the other values are read from the
// frame only for the E candidates that are written out. Candidates never move: the sort yields
// the order of their indices, exactly the order a selection sort over the whole candidates
// would leave, equal keys included.
template <std::uint32_t E>
void dual_depth_select_nearfar::process_pixels(const std::array<echo_outputs, max_echoes>& outputs) const {
    constexpr std::uint32_t C = 2 * E;
    constexpr std::uint32_t all = (1u << C) - 1;
    constexpr std::uint32_t second_candidates = 0b101010u & all;
    const float near = params.select_near;
    const float far = params.select_far;
    const float window = params.merge_window;
    const float infinity = std::numeric_limits<float>::infinity();
    const std::size_t n = pixel_count;

    for (std::uint32_t i = 0; i < pixel_count; ++i) {
        // Gather the keys, and preselect by band: the first sub-frame is trusted inside the
        // band, the second outside it. Limits select neither. Bitwise rather than short-circuit
        // logic throughout: the depths are not predictable.
        float key[C];
        std::uint32_t valid = 0;
        std::uint32_t selected = 0;
#pragma GCC unroll 3
        for (std::uint32_t e = 0; e < E; ++e) {
            const float first = outputs[e].radial[i];
            const float second = outputs[e].radial[n + i];
            key[2 * e] = first;
            key[2 * e + 1] = second;
            const std::uint32_t first_valid = first > 0.0f;
            const std::uint32_t second_valid = second > 0.0f;
            const std::uint32_t in_band = (near < first) & (first < far);
            const std::uint32_t beyond_band = (second < near) | (second > far);
            valid |= (first_valid << (2 * e)) | (second_valid << (2 * e + 1));
            selected |= ((first_valid & in_band) << (2 * e)) | ((second_valid & beyond_band) << (2 * e + 1));
        }

        // Sort the positions by key. With all keys distinct the selection sort's result is
        // simply each candidate's rank, which is found without a chain of dependent swaps. Equal
        // keys are common, since every missing return has key 0, and there the selection
        // sort's own swaps decide the order, so it is run as such.
        std::uint32_t at[C];
        std::uint32_t rank[C] = {};
        bool tie = false;
#pragma GCC unroll 6
        for (std::uint32_t a = 0; a < C; ++a) {
#pragma GCC unroll 6
            for (std::uint32_t b = a + 1; b < C; ++b) {
                const bool below = key[b] < key[a];
                const bool above = key[a] < key[b];
                rank[a] += below;
                rank[b] += above;
                tie |= !(below | above);
            }
        }
        if (!tie) {
#pragma GCC unroll 6
            for (std::uint32_t k = 0; k < C; ++k)
                at[rank[k]] = k;
        } else {
            float sorted_key[C];
            for (std::uint32_t p = 0; p < C; ++p) {
                at[p] = p;
                sorted_key[p] = key[p];
            }
            for (std::uint32_t p = 0; p + 1 < C; ++p) {
                std::uint32_t q = p;
                float smallest = sorted_key[p];
                for (std::uint32_t r = p + 1; r < C; ++r) {
                    const bool smaller = sorted_key[r] < smallest;
                    q = smaller ? r : q;
                    smallest = smaller ? sorted_key[r] : smallest;
                }
                std::swap(at[p], at[q]);
                std::swap(sorted_key[p], sorted_key[q]);
            }
        }

        // Drop near-duplicates seen by both sub-frames. Only a pair from different sub-frames,
        // both valid and closer than the window, can ever qualify, and dropping only makes
        // candidates invalid; so when no such pair exists, which is the usual case, the ordered
        // pass is skipped. In that pass every pair is met twice, but once a pair has been looked
        // at it can never qualify again (one of them is dropped, or nothing that made it fail
        // changes), so each unordered pair is looked at once, in the same order.
        // An invalid candidate stands at an infinite distance from every other one for this test.
        float near_key[C];
#pragma GCC unroll 6
        for (std::uint32_t k = 0; k < C; ++k)
            near_key[k] = ((valid >> k) & 1u) != 0 ? key[k] : ((k & 1) != 0 ? infinity : -infinity);
        std::uint32_t close = 0;
#pragma GCC unroll 3
        for (std::uint32_t a = 0; a < C; a += 2) {
#pragma GCC unroll 3
            for (std::uint32_t b = 1; b < C; b += 2)
                close |= std::fabs(near_key[a] - near_key[b]) < window;
        }
        std::uint32_t dropped = 0;
        if (close != 0) {
            for (std::uint32_t pa = 0; pa < C; ++pa) {
                for (std::uint32_t pb = pa + 1; pb < C; ++pb) {
                    const std::uint32_t a = at[pa];
                    const std::uint32_t b = at[pb];
                    if (((valid >> a) & (valid >> b) & 1u) == 0 || (a & 1) == (b & 1) ||
                        !(std::fabs(key[a] - key[b]) < window))
                        continue;
                    // Exactly one selected: the unselected one goes; otherwise the first
                    // sub-frame's.
                    const bool a_selected = (selected >> a) & 1u;
                    const bool b_selected = (selected >> b) & 1u;
                    const std::uint32_t k =
                        a_selected != b_selected ? (a_selected ? b : a) : ((a & 1) ? b : a);
                    valid &= ~(1u << k);
                    selected &= ~(1u << k);
                    dropped |= 1u << k;
                }
            }
        }

        // Choose exactly E candidates (or more, when more second-sub-frame ones are selected;
        // the write takes the first E). The masks move to sorted positions, bit p for position
        // p, where the scans "from the far end down" are taking the highest bits.
        std::uint32_t v = 0;
        std::uint32_t sel = 0;
        std::uint32_t second = 0;
#pragma GCC unroll 6
        for (std::uint32_t p = 0; p < C; ++p) {
            const std::uint32_t k = at[p];
            v |= ((valid >> k) & 1u) << p;
            sel |= ((selected >> k) & 1u) << p;
            second |= ((second_candidates >> k) & 1u) << p;
        }
        const std::uint32_t valid_count = bits.count[v];
        const std::uint32_t selected_count = bits.count[sel];
        // Too few valid: all of them, then invalid second-sub-frame ones.
        const std::uint32_t few =
            v | bits.highest[valid_count < E ? E - valid_count : 0][~v & second & all];
        // Too few selected: unselected valid second-sub-frame ones, then first-sub-frame ones.
        const std::uint32_t need = selected_count < E ? E - selected_count : 0;
        const std::uint32_t add_second = bits.highest[need][v & ~sel & second];
        const std::uint32_t add_first = bits.highest[need - bits.count[add_second]][v & ~sel & ~second & all];
        // Enough or too many selected: every selected second-sub-frame one, then first-sub-frame
        // ones up to E.
        const std::uint32_t kept_second = sel & second;
        const std::uint32_t room = E > bits.count[kept_second] ? E - bits.count[kept_second] : 0;
        const std::uint32_t kept = kept_second | bits.highest[room][sel & ~second & all];
        const std::uint32_t chosen =
            valid_count <= E ? few : (selected_count < E ? sel | add_second | add_first : kept);

        // Write: nearest results first, then the empty ones, whichever echo they came from. A
        // written radial depth is positive exactly when its candidate is valid; the empty ones
        // are moved up by C bits, so the order is that of the set bits. Every value is read
        // before any is written, since the slots overlap the first sub-frame's values.
        std::uint32_t order = (chosen & v) | ((chosen & ~v & all) << C);
        std::uint32_t source[E];
#pragma GCC unroll 3
        for (std::uint32_t slot = 0; slot < E; ++slot) {
            const std::uint32_t b = order == 0 ? 0 : static_cast<std::uint32_t>(std::countr_zero(order));
            order &= order - 1;
            source[slot] = at[b < C ? b : b - C];
        }
        float radial[E];
        float cartesian[E];
        float height[E];
        peak_status status[E];
        point3f point[E];
#pragma GCC unroll 3
        for (std::uint32_t slot = 0; slot < E; ++slot) {
            const std::uint32_t k = source[slot];
            const echo_outputs& in = outputs[k >> 1];
            const std::size_t index = (k & 1) != 0 ? n + i : i;
            if (((dropped >> k) & 1u) == 0) {
                radial[slot] = in.radial[index];
                cartesian[slot] = in.cartesian[index];
                height[slot] = in.height[index];
                status[slot] = in.status[index];
                point[slot] = in.point[index];
            } else {
                radial[slot] = 0.0f;
                cartesian[slot] = 0.0f;
                height[slot] = 0.0f;
                status[slot] = peak_status{0};
                point[slot] = point3f{};
            }
        }
#pragma GCC unroll 3
        for (std::uint32_t slot = 0; slot < E; ++slot) {
            const echo_outputs& out = outputs[slot];
            out.radial[i] = radial[slot];
            out.cartesian[i] = cartesian[slot];
            out.height[i] = height[slot];
            out.status[i] = status[slot];
            out.point[i] = point[slot];
        }
    }
}

}  // namespace vorlake::tessaro
