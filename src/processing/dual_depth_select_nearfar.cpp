#include "processing/dual_depth_select_nearfar.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <utility>

namespace vorlake::tessaro {

namespace {

void write_line(const char* text) {
    std::cout << text << '\n' << std::flush;
}

}  // namespace

dual_depth_select_nearfar::dual_depth_select_nearfar(std::uint32_t pixel_count, const dual_depth_params& params,
                                                     const camera_output_configuration& outputs)
    : params(params),
      pixel_count(pixel_count),
      merge_point_cloud(outputs.enable_point_cloud || outputs.enable_cartesian_depth),
      merge_cartesian_depth(outputs.enable_cartesian_depth),
      merge_peak_height(outputs.enable_peak_height),
      merge_peak_status(outputs.enable_peak_status),
      choice(std::size_t{pixel_count} * max_echoes) {}

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

    // The candidate loops are unrolled per echo count.
    switch (echo_count) {
        case 1: choose<1>(f.radial_depth); merge_fields<1>(f); break;
        case 2: choose<2>(f.radial_depth); merge_fields<2>(f); break;
        default: choose<3>(f.radial_depth); merge_fields<3>(f); break;
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

constexpr std::uint32_t most_candidates = 2 * dual_depth_select_nearfar::max_echoes;

// Choosing and writing work on bit masks over the sorted positions of a pixel's candidates
// (bit p for position p): the scans "from the far end down" of the rules become table lookups
// instead of loops whose branches depend on the data.
struct position_bits {
    static constexpr std::uint32_t masks = 1u << most_candidates;

    std::array<std::uint8_t, masks> count{};
    // highest[n][m]: the n highest set bits of m (all of them when m has fewer).
    std::array<std::array<std::uint8_t, masks>, dual_depth_select_nearfar::max_echoes + 1> highest{};

    constexpr position_bits() {
        for (std::uint32_t m = 0; m < masks; ++m) {
            for (std::uint32_t b = m; b != 0; b &= b - 1)
                ++count[m];
            for (std::uint32_t n = 0; n < highest.size(); ++n) {
                std::uint32_t taken = 0;
                for (std::uint32_t p = most_candidates; p-- > 0 && std::popcount(taken) < static_cast<int>(n);)
                    if (m & (1u << p))
                        taken |= 1u << p;
                highest[n][m] = static_cast<std::uint8_t>(taken);
            }
        }
    }
};

constexpr position_bits bits{};

// One pixel after sorting and dropping: its flags as bit masks over the candidates (bit k for
// candidate k = 2 * echo + sub-frame) and the candidate at each sorted position.
struct settled_pixel {
    std::uint32_t valid = 0;
    std::uint32_t selected = 0;
    std::uint32_t dropped = 0;
    std::uint32_t at[most_candidates] = {};
};

// Valid candidates, and the preselection by band: the first sub-frame (even k) is trusted
// inside the band, the second outside it; the limits select neither. Bitwise rather than
// short-circuit logic: the depths are not predictable.
template <std::uint32_t C>
void preselect(const float (&key)[C], const dual_depth_params& params, settled_pixel& pixel) {
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        const float d = key[k];
        const std::uint32_t valid = d > 0.0f;
        const std::uint32_t in_band = (params.select_near < d) & (d < params.select_far);
        const std::uint32_t beyond_band = (d < params.select_near) | (d > params.select_far);
        pixel.valid |= valid << k;
        pixel.selected |= (valid & ((k & 1) != 0 ? beyond_band : in_band)) << k;
    }
}

// The rules followed literally, for the pixels the vector path leaves out (a key that is not a
// number, equal keys above the smallest, or more than one near-duplicate pair): a selection sort
// whose swaps decide the order of equal keys, then every pair in sorted order.
template <std::uint32_t C>
void settle_in_order(const float (&key)[C], const dual_depth_params& params, settled_pixel& pixel) {
    preselect(key, params, pixel);
    float sorted_key[C];
    for (std::uint32_t p = 0; p < C; ++p) {
        pixel.at[p] = p;
        sorted_key[p] = key[p];
    }
    for (std::uint32_t p = 0; p + 1 < C; ++p) {
        std::uint32_t q = p;
        for (std::uint32_t r = p + 1; r < C; ++r)
            q = sorted_key[r] < sorted_key[q] ? r : q;
        std::swap(pixel.at[p], pixel.at[q]);
        std::swap(sorted_key[p], sorted_key[q]);
    }
    // Every pair is met twice, but once a pair has been looked at it can never qualify again
    // (one of them is dropped, or nothing that made it fail changes), so each unordered pair is
    // looked at once, in the same order.
    for (std::uint32_t pa = 0; pa < C; ++pa) {
        for (std::uint32_t pb = pa + 1; pb < C; ++pb) {
            const std::uint32_t a = pixel.at[pa];
            const std::uint32_t b = pixel.at[pb];
            if (((pixel.valid >> a) & (pixel.valid >> b) & 1u) == 0 || (a & 1) == (b & 1) ||
                !(std::fabs(key[a] - key[b]) < params.merge_window))
                continue;
            // Exactly one selected: the unselected one goes; otherwise the first sub-frame's.
            const bool a_selected = (pixel.selected >> a) & 1u;
            const bool b_selected = (pixel.selected >> b) & 1u;
            const std::uint32_t k = a_selected != b_selected ? (a_selected ? b : a) : ((a & 1) ? b : a);
            pixel.valid &= ~(1u << k);
            pixel.selected &= ~(1u << k);
            pixel.dropped |= 1u << k;
        }
    }
}

// Four pixels at a time, in GCC's portable vector types (plain SSE2 on x86-64, NEON on AArch64).
using float4 = float __attribute__((vector_size(16)));
using int4 = std::int32_t __attribute__((vector_size(16)));
constexpr std::uint32_t lanes = 4;

float4 load4(const float* p) {
    float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V, typename T>
void store4(const V& v, T* p) {
    static_assert(sizeof(T) * lanes == sizeof v);
    std::memcpy(p, &v, sizeof v);
}

// The four pixels' keys, candidate by candidate, and what the vector pass found for each pixel.
template <std::uint32_t C>
struct four_pixels {
    float key[C][lanes];
    std::int32_t rank[C][lanes];
    std::int32_t valid[lanes];
    std::int32_t selected[lanes];
    std::int32_t dropped[lanes];
    std::int32_t in_order[lanes];  // nonzero: the pixel needs settle_in_order
};

// The order by pairwise ranking: a candidate's sorted position is the number of keys below its
// own, plus the number of equal keys before it. That is the selection sort's order whenever the
// only equal keys are the smallest ones (every missing return has key 0, so those are common):
// a smallest key is never swapped away, so they keep their order. Near-duplicates are resolved
// here when a pixel has at most one pair of them, since the rules then drop the same candidate
// in whatever order the pairs are visited.
template <std::uint32_t C>
void settle_four(const float* const (&source)[C], std::size_t i, const dual_depth_params& params,
                 four_pixels<C>& out) {
    const float4 near = {params.select_near, params.select_near, params.select_near, params.select_near};
    const float4 far = {params.select_far, params.select_far, params.select_far, params.select_far};
    const float4 window = {params.merge_window, params.merge_window, params.merge_window, params.merge_window};
    float4 key[C];
    int4 valid[C];
    int4 selected[C];
    int4 not_a_number = {};
    float4 smallest = load4(source[0] + i);
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        key[k] = load4(source[k] + i);
        store4(key[k], out.key[k]);
        valid[k] = key[k] > 0.0f;
        selected[k] = (k & 1) != 0 ? valid[k] & ((key[k] < near) | (key[k] > far))
                                   : valid[k] & (near < key[k]) & (key[k] < far);
        not_a_number |= key[k] != key[k];
        smallest = key[k] < smallest ? key[k] : smallest;
    }
    int4 rank[C] = {};
    int4 tie_above_smallest = {};
#pragma GCC unroll 6
    for (std::uint32_t a = 0; a < C; ++a) {
#pragma GCC unroll 6
        for (std::uint32_t b = a + 1; b < C; ++b) {
            const int4 equal = key[a] == key[b];
            rank[a] -= key[b] < key[a];
            rank[b] -= (key[a] < key[b]) | equal;
            tie_above_smallest |= equal & (key[a] > smallest);
        }
    }
    int4 pairs = {};
    int4 dropped = {};
#pragma GCC unroll 3
    for (std::uint32_t a = 0; a < C; a += 2) {
#pragma GCC unroll 3
        for (std::uint32_t b = 1; b < C; b += 2) {
            const float4 difference = key[a] - key[b];
            const float4 distance = difference < 0.0f ? -difference : difference;
            const int4 close = valid[a] & valid[b] & (distance < window);
            pairs -= close;
            // Exactly one selected: the unselected one goes; otherwise the first sub-frame's.
            const int4 keep_a = selected[a] & ~selected[b];
            dropped |= (close & ~keep_a & (1 << a)) | (close & keep_a & (1 << b));
        }
    }
    int4 valid_bits = {};
    int4 selected_bits = {};
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        valid_bits |= valid[k] & (1 << k);
        selected_bits |= selected[k] & (1 << k);
        store4(rank[k], out.rank[k]);
    }
    store4(valid_bits & ~dropped, out.valid);
    store4(selected_bits & ~dropped, out.selected);
    store4(dropped, out.dropped);
    store4(not_a_number | tie_above_smallest | (pairs > 1), out.in_order);
}

// Chooses exactly E candidates of a settled pixel and records them, nearest result first, then
// the empty ones, whichever echo they came from; writes the radial depths on the way.
template <std::uint32_t E>
void record_choice(const settled_pixel& pixel, const float (&key)[2 * E], float* const (&radial)[E],
                   std::size_t i, std::uint8_t* choice, std::uint8_t dropped_flag) {
    constexpr std::uint32_t C = 2 * E;
    constexpr std::uint32_t all = (1u << C) - 1;
    constexpr std::uint32_t second_candidates = 0b101010u & all;
    // The masks move to sorted positions, bit p for position p, where the scans "from the far
    // end down" are taking the highest bits.
    std::uint32_t v = 0;
    std::uint32_t sel = 0;
    std::uint32_t second = 0;
#pragma GCC unroll 6
    for (std::uint32_t p = 0; p < C; ++p) {
        const std::uint32_t k = pixel.at[p];
        v |= ((pixel.valid >> k) & 1u) << p;
        sel |= ((pixel.selected >> k) & 1u) << p;
        second |= ((second_candidates >> k) & 1u) << p;
    }
    const std::uint32_t valid_count = bits.count[v];
    const std::uint32_t selected_count = bits.count[sel];
    // Too few valid: all of them, then invalid second-sub-frame ones.
    const std::uint32_t few = v | bits.highest[valid_count < E ? E - valid_count : 0][~v & second & all];
    // Too few selected: unselected valid second-sub-frame ones, then first-sub-frame ones.
    const std::uint32_t need = selected_count < E ? E - selected_count : 0;
    const std::uint32_t add_second = bits.highest[need][v & ~sel & second];
    const std::uint32_t add_first = bits.highest[need - bits.count[add_second]][v & ~sel & ~second & all];
    // Enough or too many selected: every selected second-sub-frame one, then first-sub-frame ones
    // up to E.
    const std::uint32_t kept_second = sel & second;
    const std::uint32_t room = E > bits.count[kept_second] ? E - bits.count[kept_second] : 0;
    const std::uint32_t kept = kept_second | bits.highest[room][sel & ~second & all];
    const std::uint32_t chosen = valid_count <= E ? few : (selected_count < E ? sel | add_second | add_first : kept);

    // A written radial depth is positive exactly when its candidate is valid; the empty ones are
    // moved up by C bits, so the order is that of the set bits.
    std::uint32_t order = (chosen & v) | ((chosen & ~v & all) << C);
#pragma GCC unroll 3
    for (std::uint32_t slot = 0; slot < E; ++slot) {
        const std::uint32_t b = order == 0 ? 0 : static_cast<std::uint32_t>(std::countr_zero(order));
        order &= order - 1;
        const std::uint32_t k = pixel.at[b < C ? b : b - C];
        const bool gone = ((pixel.dropped >> k) & 1u) != 0;
        radial[slot][i] = gone ? 0.0f : key[k];
        choice[slot] = static_cast<std::uint8_t>(k | (gone ? dropped_flag : 0));
    }
}

// Moves one output's values to the slots chosen for them; a dropped candidate writes zeros.
// Every value of a pixel is read before any is written, since the slots overlap the first
// sub-frame's values.
template <std::uint32_t E, typename T>
void move_chosen(std::vector<std::vector<T>>& field, const std::uint8_t* choice, std::size_t n,
                 std::uint8_t dropped_flag) {
    T* values[E];
    for (std::uint32_t e = 0; e < E; ++e)
        values[e] = field[e].data();
    for (std::size_t i = 0; i < n; ++i, choice += dual_depth_select_nearfar::max_echoes) {
        T chosen[E];
#pragma GCC unroll 3
        for (std::uint32_t slot = 0; slot < E; ++slot) {
            const std::uint32_t k = choice[slot] & ~std::uint32_t{dropped_flag};
            const T value = values[k >> 1][(k & 1) != 0 ? n + i : i];
            chosen[slot] = (choice[slot] & dropped_flag) != 0 ? T{} : value;
        }
#pragma GCC unroll 3
        for (std::uint32_t slot = 0; slot < E; ++slot)
            values[slot][i] = chosen[slot];
    }
}

}  // namespace

// Per pixel there are 2E candidates, k = 2 * echo + sub-frame. Only their radial depths are
// read to choose; candidates never move, the order is that of their indices, exactly the order
// the selection sort over whole candidates would leave, equal keys included.
template <std::uint32_t E>
void dual_depth_select_nearfar::choose(std::vector<std::vector<float>>& radial_depth) {
    constexpr std::uint32_t C = 2 * E;
    const std::size_t n = pixel_count;
    const float* source[C];
    float* radial[E];
    for (std::uint32_t e = 0; e < E; ++e) {
        source[2 * e] = radial_depth[e].data();
        source[2 * e + 1] = radial_depth[e].data() + n;
        radial[e] = radial_depth[e].data();
    }
    std::size_t i = 0;
    four_pixels<C> four;
    for (; i + lanes <= n; i += lanes) {
        settle_four(source, i, params, four);
        for (std::uint32_t lane = 0; lane < lanes; ++lane) {
            float key[C];
            settled_pixel pixel;
#pragma GCC unroll 6
            for (std::uint32_t k = 0; k < C; ++k)
                key[k] = four.key[k][lane];
            if (four.in_order[lane] != 0) {
                settle_in_order(key, params, pixel);
            } else {
                pixel.valid = static_cast<std::uint32_t>(four.valid[lane]);
                pixel.selected = static_cast<std::uint32_t>(four.selected[lane]);
                pixel.dropped = static_cast<std::uint32_t>(four.dropped[lane]);
#pragma GCC unroll 6
                for (std::uint32_t k = 0; k < C; ++k)
                    pixel.at[four.rank[k][lane]] = k;
            }
            record_choice<E>(pixel, key, radial, i + lane, choice.data() + (i + lane) * max_echoes, dropped_flag);
        }
    }
    for (; i < n; ++i) {
        float key[C];
        settled_pixel pixel;
        for (std::uint32_t k = 0; k < C; ++k)
            key[k] = source[k][i];
        settle_in_order(key, params, pixel);
        record_choice<E>(pixel, key, radial, i, choice.data() + i * max_echoes, dropped_flag);
    }
}

// The other outputs follow the choice, each in a pass of its own; those that are never decoded
// are left as they are (zeros either way).
template <std::uint32_t E>
void dual_depth_select_nearfar::merge_fields(frame_buffer& f) const {
    const std::size_t n = pixel_count;
    if (merge_point_cloud)
        move_chosen<E>(f.point_cloud, choice.data(), n, dropped_flag);
    if (merge_cartesian_depth)
        move_chosen<E>(f.cartesian_depth, choice.data(), n, dropped_flag);
    if (merge_peak_height)
        move_chosen<E>(f.peak_height, choice.data(), n, dropped_flag);
    if (merge_peak_status)
        move_chosen<E>(f.peak_status, choice.data(), n, dropped_flag);
}

}  // namespace vorlake::tessaro
