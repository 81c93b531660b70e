#include "processing/dual_depth_select_nearfar.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "messages/message_output.hpp"

namespace vorlake::tessaro {

namespace {

}  // namespace

dual_depth_select_nearfar::dual_depth_select_nearfar(std::uint32_t pixel_count, const dual_depth_params& params,
                                                     const camera_output_configuration& outputs)
    : params(params),
      pixel_count(pixel_count),
      merge_point_cloud(outputs.enable_point_cloud || outputs.enable_cartesian_depth),
      merge_cartesian_depth(outputs.enable_cartesian_depth),
      merge_peak_height(outputs.enable_peak_height),
      merge_peak_status(outputs.enable_peak_status) {}

// Every vector the merge reads or writes is checked before any pixel is touched, peak status
// included: a frame that was not prepared is refused, never read or written out of bounds.
bool dual_depth_select_nearfar::check_sizes(const frame_buffer& f) const {
    const std::size_t both = 2 * std::size_t{pixel_count};
    if (f.point_cloud.size() < echo_count || f.cartesian_depth.size() < echo_count ||
        f.radial_depth.size() < echo_count || f.peak_height.size() < echo_count ||
        f.peak_status.size() < echo_count) {
        write_message(message_stream::standard_output, message_severity::error,
                      "dual depth: invalid number of echoes");
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
            write_message(message_stream::standard_output, message_severity::error, failure);
            return false;
        }
    }
    return true;
}

int dual_depth_select_nearfar::process(frame_buffer& f) {
    echo_count = f.max_depth_index;
    if (echo_count > max_echoes) {
        write_message(message_stream::standard_output, message_severity::error,
                      "dual depth: invalid number of echoes");
        return -EINVAL;
    }
    if (echo_count == 0)
        return 0;
    if (!check_sizes(f))
        return -EINVAL;

    // The candidate loops are unrolled per echo count.
    switch (echo_count) {
        case 1: merge_pixels<1>(f); break;
        case 2: merge_pixels<2>(f); break;
        default: merge_pixels<3>(f); break;
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

// One pixel after sorting and dropping: its flags as bit masks over the candidates (bit k for
// candidate k = 2 * echo + sub-frame) and the candidate at each sorted position.
struct settled_pixel {
    std::uint32_t valid = 0;
    std::uint32_t selected = 0;
    std::uint32_t dropped = 0;
    std::uint32_t at[most_candidates] = {};
};

// Valid candidates, and the preselection by band: the first sub-frame (even k) is trusted
// inside the band, the second outside it; the limits select neither.
template <std::uint32_t C>
void preselect(const float (&key)[C], const dual_depth_params& params, settled_pixel& pixel) {
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

// Four pixels at a time, in GCC's portable vector types (SSE2 on x86-64, NEON on AArch64): every
// rule becomes masks, with no branch on the data.
constexpr std::uint32_t lanes = 4;
using float4 = float __attribute__((vector_size(16)));
using int4 = std::int32_t __attribute__((vector_size(16)));

template <typename V, typename T>
V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V, typename T>
void store(const V& v, T* p) {
    std::memcpy(p, &v, sizeof v);
}

// Where one output of four consecutive pixels is read and written: candidate k at from[k], output
// slot s at to[s]. All null for an output that is not merged.
template <typename T, std::uint32_t E>
struct four_pixel_field {
    const T* from[2 * E] = {};
    T* to[E] = {};
};

template <std::uint32_t E>
struct four_pixel_frame {
    four_pixel_field<float, E> radial, cartesian, height;
    four_pixel_field<peak_status, E> status;
    four_pixel_field<point3f, E> point;
};

// The four pixels sorted and cleared of near-duplicates, candidate by candidate.
template <std::uint32_t C>
struct settled_four {
    float4 key[C];
    int4 rank[C];  // the sorted position
    int4 valid[C];
    int4 selected[C];
    int4 dropped[C];
};

// The order by pairwise ranking: a candidate's sorted position is the number of keys below its
// own, plus the number of equal keys before it. That is the selection sort's order whenever the
// only equal keys are the smallest ones (every missing return has key 0, so those are common):
// a smallest key is never swapped away, so they keep their order. Near-duplicates are resolved
// here when a pixel has at most one pair of them, since the rules then drop the same candidate
// in whatever order the pairs are visited. Returns the pixels this does not settle.
template <std::uint32_t C>
int4 settle_four(const float* const (&from)[C], const dual_depth_params& params, settled_four<C>& out) {
    const float4 near = float4{} + params.select_near;
    const float4 far = float4{} + params.select_far;
    const float4 window = float4{} + params.merge_window;
    int4 (&valid)[C] = out.valid;
    int4 (&selected)[C] = out.selected;
    int4 not_a_number = {};
    float4 smallest = load<float4>(from[0]);
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        const float4 key = out.key[k] = load<float4>(from[k]);
        valid[k] = key > 0.0f;
        selected[k] = (k & 1) != 0 ? valid[k] & ((key < near) | (key > far)) : valid[k] & (near < key) & (key < far);
        not_a_number |= key != key;
        smallest = key < smallest ? key : smallest;
        // Every candidate before this one counts, unless it turns out to have a greater key.
        out.rank[k] = int4{} + static_cast<std::int32_t>(k);
        out.dropped[k] = int4{};
    }
    int4 tie_above_smallest = {};
#pragma GCC unroll 6
    for (std::uint32_t a = 0; a < C; ++a) {
        const int4 above_smallest = out.key[a] > smallest;
#pragma GCC unroll 6
        for (std::uint32_t b = a + 1; b < C; ++b) {
            const int4 below = out.key[b] < out.key[a];
            out.rank[a] -= below;
            out.rank[b] += below;
            tie_above_smallest |= (out.key[a] == out.key[b]) & above_smallest;
        }
    }
    int4 pairs = {};
#pragma GCC unroll 3
    for (std::uint32_t a = 0; a < C; a += 2) {
#pragma GCC unroll 3
        for (std::uint32_t b = 1; b < C; b += 2) {
            const float4 distance = std::bit_cast<float4>(std::bit_cast<int4>(out.key[a] - out.key[b]) & 0x7FFFFFFF);
            const int4 close = valid[a] & valid[b] & (distance < window);
            pairs -= close;
            // Exactly one selected: the unselected one goes; otherwise the first sub-frame's.
            const int4 keep_a = selected[a] & ~selected[b];
            out.dropped[a] |= close & ~keep_a;
            out.dropped[b] |= close & keep_a;
        }
    }
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        valid[k] &= ~out.dropped[k];
        selected[k] &= ~out.dropped[k];
    }
    return not_a_number | tie_above_smallest | (pairs > 1);
}

// The rare pixels that settle_four leaves out, one by one.
template <std::uint32_t C>
void settle_lanes_in_order(int4 in_order, const dual_depth_params& params, settled_four<C>& four) {
    for (std::uint32_t lane = 0; lane < lanes; ++lane) {
        if (in_order[lane] == 0)
            continue;
        float key[C];
        for (std::uint32_t k = 0; k < C; ++k)
            key[k] = four.key[k][lane];
        settled_pixel pixel;
        settle_in_order(key, params, pixel);
        for (std::uint32_t p = 0; p < C; ++p)
            four.rank[pixel.at[p]][lane] = static_cast<std::int32_t>(p);
        for (std::uint32_t k = 0; k < C; ++k) {
            four.valid[k][lane] = -static_cast<std::int32_t>((pixel.valid >> k) & 1u);
            four.selected[k][lane] = -static_cast<std::int32_t>((pixel.selected >> k) & 1u);
            four.dropped[k][lane] = -static_cast<std::int32_t>((pixel.dropped >> k) & 1u);
        }
    }
}

// Chooses exactly E candidates per pixel and gives each its output slot: the nearest results
// first, then the empty ones, whichever echo they came from. take[s][k] marks the pixels whose
// slot s receives candidate k; a dropped candidate marks none, so its slot receives zeros. The
// scans "from the far end down" of the rules take the candidates sorted last.
template <std::uint32_t E>
void choose_four(const settled_four<2 * E>& four, int4 (&take)[E][2 * E]) {
    constexpr std::uint32_t C = 2 * E;
    constexpr std::int32_t echoes = E;
    const int4 (&valid)[C] = four.valid;
    const int4 (&selected)[C] = four.selected;
    int4 valid_count = {};
    int4 selected_count = {};
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        valid_count -= valid[k];
        selected_count -= selected[k];
    }
    // Of the candidates of one sub-frame in `set`, the `count` sorted last.
    auto last = [&](const int4 (&set)[C], std::uint32_t sub_frame, int4 count, int4 (&taken)[C]) {
#pragma GCC unroll 3
        for (std::uint32_t k = sub_frame; k < C; k += 2) {
            int4 behind = {};
#pragma GCC unroll 3
            for (std::uint32_t j = sub_frame; j < C; j += 2)
                if (j != k)
                    behind -= set[j] & (four.rank[j] > four.rank[k]);
            taken[k] = set[k] & (behind < count);
        }
    };
    int4 set[C] = {};
    int4 few[C] = {};
    int4 added[C] = {};
    int4 kept[C] = {};
    // Too few valid: all of them, then invalid second-sub-frame ones.
    for (std::uint32_t k = 1; k < C; k += 2)
        set[k] = ~valid[k];
    last(set, 1, echoes - valid_count, few);
    // Too few selected: unselected valid second-sub-frame ones, then first-sub-frame ones.
    const int4 need = selected_count < echoes ? echoes - selected_count : int4{};
    for (std::uint32_t k = 0; k < C; ++k)
        set[k] = valid[k] & ~selected[k];
    last(set, 1, need, added);
    int4 added_second = {};
    for (std::uint32_t k = 1; k < C; k += 2)
        added_second -= added[k];
    last(set, 0, need - added_second, added);
    // Enough or too many selected: every selected second-sub-frame one, then first-sub-frame ones
    // up to E.
    int4 kept_second = {};
    for (std::uint32_t k = 1; k < C; k += 2)
        kept_second -= selected[k];
    last(four.selected, 0, echoes - kept_second, kept);
    const int4 too_few_valid = valid_count <= echoes;
    const int4 too_few_selected = selected_count < echoes;
    int4 chosen[C];
    int4 order[C];
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        const int4 enough = (k & 1) != 0 ? selected[k] : kept[k];
        chosen[k] = (too_few_valid & (valid[k] | few[k])) |
                    (~too_few_valid & too_few_selected & (selected[k] | added[k])) |
                    (~too_few_valid & ~too_few_selected & enough);
        // A written radial depth is positive exactly when its candidate is valid: the empty ones
        // go after every valid one.
        order[k] = four.rank[k] + (~valid[k] & static_cast<std::int32_t>(C));
    }
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < C; ++k) {
        int4 slot = {};
#pragma GCC unroll 6
        for (std::uint32_t j = 0; j < C; ++j)
            if (j != k)
                slot -= chosen[j] & (order[j] < order[k]);
        const int4 written = chosen[k] & ~four.dropped[k];
#pragma GCC unroll 3
        for (std::uint32_t s = 0; s < E; ++s)
            take[s][k] = written & (slot == static_cast<std::int32_t>(s));
    }
}

// Every value of the four pixels is read before any is written, since the slots are the first
// sub-frame's places.
template <std::uint32_t E, typename T>
void move_words(const four_pixel_field<T, E>& field, std::size_t i, const int4 (&take)[E][2 * E]) {
    static_assert(sizeof(T) == sizeof(std::int32_t));
    if (field.to[0] == nullptr)
        return;
    int4 value[2 * E];
    for (std::uint32_t k = 0; k < 2 * E; ++k)
        value[k] = load<int4>(field.from[k] + i);
#pragma GCC unroll 3
    for (std::uint32_t s = 0; s < E; ++s) {
        int4 out = {};
#pragma GCC unroll 6
        for (std::uint32_t k = 0; k < 2 * E; ++k)
            out |= take[s][k] & value[k];
        store(out, field.to[s] + i);
    }
}

// Points and statuses are not four-byte words: each pixel's value is copied from the candidate
// its slot takes (source[s][lane] = k + 1, or 0 for zeros), through a table whose first row holds
// zeros, so that no branch depends on the data. The rows past the candidates' are zeros as well.
template <std::uint32_t E, typename T>
void move_each(const four_pixel_field<T, E>& field, std::size_t i, const std::int32_t (&source)[E][lanes]) {
    static_assert(2 * E + 1 <= 8 && std::is_trivially_copyable_v<T>);
    if (field.to[0] == nullptr)
        return;
    static constexpr T zeros[lanes] = {};
    const T* rows[8];
    for (std::uint32_t k = 0; k < 8; ++k)
        rows[k] = k >= 1 && k <= 2 * E ? field.from[k - 1] + i : zeros;
    unsigned char value[E][lanes][sizeof(T)];
#pragma GCC unroll 3
    for (std::uint32_t s = 0; s < E; ++s)
#pragma GCC unroll 4
        for (std::uint32_t lane = 0; lane < lanes; ++lane)
            std::memcpy(value[s][lane], rows[source[s][lane] & 7] + lane, sizeof(T));
    for (std::uint32_t s = 0; s < E; ++s)
        std::memcpy(field.to[s] + i, value[s], sizeof value[s]);
}

template <std::uint32_t E>
void merge_four(const four_pixel_frame<E>& frame, std::size_t i, const dual_depth_params& params) {
    constexpr std::uint32_t C = 2 * E;
    const float* keys[C];
    for (std::uint32_t k = 0; k < C; ++k)
        keys[k] = frame.radial.from[k] + i;
    settled_four<C> four;
    const int4 in_order = settle_four(keys, params, four);
    if (in_order[0] | in_order[1] | in_order[2] | in_order[3])
        settle_lanes_in_order(in_order, params, four);
    int4 take[E][C];
    choose_four<E>(four, take);
#pragma GCC unroll 3
    for (std::uint32_t s = 0; s < E; ++s) {
        int4 out = {};
#pragma GCC unroll 6
        for (std::uint32_t k = 0; k < C; ++k)
            out |= take[s][k] & std::bit_cast<int4>(four.key[k]);
        store(out, frame.radial.to[s] + i);
    }
    move_words(frame.cartesian, i, take);
    move_words(frame.height, i, take);
    if (frame.status.to[0] != nullptr || frame.point.to[0] != nullptr) {
        std::int32_t source[E][lanes];
#pragma GCC unroll 3
        for (std::uint32_t s = 0; s < E; ++s) {
            int4 from = {};
#pragma GCC unroll 6
            for (std::uint32_t k = 0; k < C; ++k)
                from |= take[s][k] & static_cast<std::int32_t>(k + 1);
            store(from, source[s]);
        }
        move_each(frame.status, i, source);
        move_each(frame.point, i, source);
    }
}

template <typename T, std::uint32_t E>
four_pixel_field<T, E> field_of(std::vector<std::vector<T>>& per_echo, bool merged, std::size_t n) {
    four_pixel_field<T, E> field;
    if (!merged)
        return field;
    for (std::uint32_t e = 0; e < E; ++e) {
        field.from[2 * e] = per_echo[e].data();
        field.from[2 * e + 1] = per_echo[e].data() + n;
        field.to[e] = per_echo[e].data();
    }
    return field;
}

// The last pixels, fewer than four, are copied into four-pixel scratch (the missing ones read as
// zeros), merged there, and copied back.
template <typename T, std::uint32_t E>
struct staged_field {
    T from[2 * E][lanes] = {};
    T to[E][lanes] = {};

    four_pixel_field<T, E> stage(const four_pixel_field<T, E>& field, std::size_t i, std::size_t count) {
        four_pixel_field<T, E> staged;
        if (field.to[0] == nullptr)
            return staged;
        for (std::uint32_t k = 0; k < 2 * E; ++k) {
            std::copy_n(field.from[k] + i, count, from[k]);
            staged.from[k] = from[k];
        }
        for (std::uint32_t s = 0; s < E; ++s)
            staged.to[s] = to[s];
        return staged;
    }

    void unstage(const four_pixel_field<T, E>& field, std::size_t i, std::size_t count) const {
        if (field.to[0] != nullptr)
            for (std::uint32_t s = 0; s < E; ++s)
                std::copy_n(to[s], count, field.to[s] + i);
    }
};

template <std::uint32_t E>
void merge_last_pixels(const four_pixel_frame<E>& frame, std::size_t i, std::size_t count,
                       const dual_depth_params& params) {
    staged_field<float, E> radial, cartesian, height;
    staged_field<peak_status, E> status;
    staged_field<point3f, E> point;
    const four_pixel_frame<E> staged{radial.stage(frame.radial, i, count), cartesian.stage(frame.cartesian, i, count),
                                     height.stage(frame.height, i, count), status.stage(frame.status, i, count),
                                     point.stage(frame.point, i, count)};
    merge_four(staged, 0, params);
    radial.unstage(frame.radial, i, count);
    cartesian.unstage(frame.cartesian, i, count);
    height.unstage(frame.height, i, count);
    status.unstage(frame.status, i, count);
    point.unstage(frame.point, i, count);
}

}  // namespace

// Per pixel there are 2E candidates, k = 2 * echo + sub-frame. Candidates never move: their
// order is that of their sorted positions, exactly the order the selection sort over whole
// candidates would leave, equal keys included. The outputs that are never decoded are left
// as they are (zeros either way).
template <std::uint32_t E>
void dual_depth_select_nearfar::merge_pixels(frame_buffer& f) const {
    const std::size_t n = pixel_count;
    const four_pixel_frame<E> frame{field_of<float, E>(f.radial_depth, true, n),
                                    field_of<float, E>(f.cartesian_depth, merge_cartesian_depth, n),
                                    field_of<float, E>(f.peak_height, merge_peak_height, n),
                                    field_of<peak_status, E>(f.peak_status, merge_peak_status, n),
                                    field_of<point3f, E>(f.point_cloud, merge_point_cloud, n)};
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes)
        merge_four(frame, i, params);
    if (i < n)
        merge_last_pixels(frame, i, n - i, params);
}

}  // namespace vorlake::tessaro
