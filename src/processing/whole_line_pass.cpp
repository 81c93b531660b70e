#include "processing/whole_line_pass.hpp"

#include <bit>
#include <cstring>

#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {

namespace {

// Where a channel lies inside its echo group, in bytes from the group's radial depth.
constexpr std::uint32_t point_place = 4;
constexpr std::uint32_t height_place = 16;
constexpr std::uint32_t status_place = 20;
constexpr std::uint32_t group_size = 24;

template <typename Decoder>
int index_among(const raw_data_values_decoder* d, const std::vector<Decoder>& decoders) {
    for (std::size_t k = 0; k < decoders.size(); ++k)
        if (d == &decoders[k])
            return static_cast<int>(k);
    return -1;
}

// Whether every index of the frame fits the output, as each decoder would check it.
template <typename Output>
bool holds_frame(const Output* output, std::uint32_t pixels) {
    return output != nullptr && pixels <= static_cast<std::uint32_t>(output->size());
}

// The echo group of a channel at `offset`, `place` bytes into its group: every channel of one
// group must agree on where the group starts, and the whole group must lie inside the line.
bool place_in_group(whole_line_pass& pass, std::size_t echo, std::uint32_t offset, std::uint32_t place,
                    bool& placed) {
    if (echo >= whole_line_pass::most_echoes || offset < place)
        return false;
    whole_line_pass::echo_fields& group = pass.echoes[echo];
    const std::uint32_t start = offset - place;
    if (placed && group.offset != start)
        return false;
    group.offset = start;
    placed = true;
    if (echo + 1 > pass.echo_count)
        pass.echo_count = static_cast<std::uint32_t>(echo + 1);
    return std::uint64_t{start} + group_size <= pass.line_size;
}

// Cartesian depth may be derived during the pass only when the pass writes every element the
// derivation after the last run would: each echo of the point cloud is a wired output the pass
// fills completely, and its cartesian depth holds at least as many elements.
bool derive_during_pass(const raw_data_processor& plan, whole_line_pass& pass, std::uint32_t pixels) {
    if (!plan.outputs.enable_cartesian_depth || plan.point_cloud_source == nullptr ||
        plan.cartesian_depth_target == nullptr)
        return false;
    auto& points = *plan.point_cloud_source;
    auto& depths = *plan.cartesian_depth_target;
    if (depths.size() < points.size())
        return false;
    float* cartesian[whole_line_pass::most_echoes] = {};
    for (std::size_t e = 0; e < points.size(); ++e) {
        std::size_t group = 0;
        while (group < pass.echo_count && pass.echoes[group].point != points[e].data())
            ++group;
        if (group == pass.echo_count || points[e].size() != pixels || depths[e].size() < points[e].size() ||
            cartesian[group] != nullptr)
            return false;
        cartesian[group] = depths[e].data();
    }
    for (std::size_t group = 0; group < whole_line_pass::most_echoes; ++group)
        pass.echoes[group].cartesian = cartesian[group];
    return true;
}

using int4 = std::int32_t __attribute__((vector_size(16)));
using uint4 = std::uint32_t __attribute__((vector_size(16)));
using float4 = float __attribute__((vector_size(16)));

int4 load4(const std::uint8_t* p) {
    int4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void store4(const int4& v, T* p) {
    std::memcpy(p, &v, sizeof v);
}

// One word of four lines, one per lane.
int4 gather(const std::uint8_t* line, std::uint32_t stride, std::uint32_t offset) {
    return int4{static_cast<std::int32_t>(detail::load_word(line + offset, 0)),
                static_cast<std::int32_t>(detail::load_word(line + stride + offset, 0)),
                static_cast<std::int32_t>(detail::load_word(line + 2 * stride + offset, 0)),
                static_cast<std::int32_t>(detail::load_word(line + 3 * stride + offset, 0))};
}

// The fixed-point rule, lane by lane, with the same operations as the scalar one.
float4 decode4(int4 words, const detail::fixed_point_rule& rule) {
    const uint4 sign_mask = uint4{} + rule.sign_mask;
    uint4 w = std::bit_cast<uint4>(words);
    w -= (w & sign_mask) << 1;
    return __builtin_convertvector(std::bit_cast<int4>(w), float4) * rule.scale;
}

// Words `offset` to `offset` + 3 of four lines, turned so that vector w holds word w of each line.
void transpose(const std::uint8_t* line, std::uint32_t stride, std::uint32_t offset, int4 (&word)[4]) {
    const int4 a = load4(line + offset), b = load4(line + stride + offset);
    const int4 c = load4(line + 2 * stride + offset), d = load4(line + 3 * stride + offset);
    const int4 ab_low = __builtin_shufflevector(a, b, 0, 4, 1, 5), ab_high = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const int4 cd_low = __builtin_shufflevector(c, d, 0, 4, 1, 5), cd_high = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    word[0] = __builtin_shufflevector(ab_low, cd_low, 0, 1, 4, 5);
    word[1] = __builtin_shufflevector(ab_low, cd_low, 2, 3, 6, 7);
    word[2] = __builtin_shufflevector(ab_high, cd_high, 0, 1, 4, 5);
    word[3] = __builtin_shufflevector(ab_high, cd_high, 2, 3, 6, 7);
}

// Four points from their coordinates, interleaved as x, y, z, x, y, z, ...
void store_points(float4 x, float4 y, float4 z, point3f* out) {
    const float4 xy = __builtin_shufflevector(x, y, 0, 4, 1, 5);
    const float4 yz = __builtin_shufflevector(y, z, 1, 5, 2, 6);
    const float4 xy_last = __builtin_shufflevector(x, y, 3, 7, 3, 7);
    const float4 first = __builtin_shufflevector(xy, z, 0, 1, 4, 2);
    const float4 second = __builtin_shufflevector(yz, x, 0, 1, 6, 2);
    const float4 third = __builtin_shufflevector(z, xy_last, 2, 4, 5, 3);
    static_assert(sizeof(point3f) == 3 * sizeof(float));
    auto* target = reinterpret_cast<std::uint8_t*>(out);
    std::memcpy(target, &first, sizeof first);
    std::memcpy(target + 16, &second, sizeof second);
    std::memcpy(target + 32, &third, sizeof third);
}

void decode_echo_four(const whole_line_pass::echo_fields& f, const std::uint8_t* line, std::uint32_t stride,
                      std::uint32_t p) {
    if (f.point != nullptr) {
        int4 word[4];
        transpose(line, stride, f.offset, word);
        if (f.radial_depth != nullptr)
            store4(std::bit_cast<int4>(decode4(word[0], f.radial)), f.radial_depth + p);
        const float4 z = decode4(word[3], f.z);
        store_points(decode4(word[1], f.x), decode4(word[2], f.y), z, f.point + p);
        if (f.cartesian != nullptr)
            store4(std::bit_cast<int4>(z), f.cartesian + p);
    } else if (f.radial_depth != nullptr) {
        // Without the point there is one word to take from each line, not four to turn.
        store4(std::bit_cast<int4>(decode4(gather(line, stride, f.offset), f.radial)), f.radial_depth + p);
    }
    if (f.peak_height != nullptr)
        store4(std::bit_cast<int4>(decode4(gather(line, stride, f.offset + height_place), f.height)), f.peak_height + p);
    if (f.status != nullptr)
        for (std::uint32_t j = 0; j < 4; ++j)
            f.status[p + j] = static_cast<peak_status>(detail::load_word(line + j * stride + f.offset + status_place, 0) & 0xFFu);
}

}  // namespace

bool prepare_whole_line_pass(const raw_data_processor& plan, whole_line_pass& pass) {
    if constexpr (std::endian::native != std::endian::little)
        return false;
    pass = {};
    pass.line_size = plan.line_size;
    const std::uint32_t pixels = std::uint32_t{plan.block_count} * plan.line_count;
    bool placed[whole_line_pass::most_echoes] = {};
    for (const raw_data_values_decoder* d : plan.line_decoders) {
        int k = -1;
        if (d == &plan.histogram_decoder) {
            if (!holds_frame(plan.histogram_decoder.output, pixels) || d->size / 4 != histogram_bins)
                return false;
            pass.histogram_offset = d->offset;
            pass.histogram = plan.histogram_decoder.output->data();
        } else if (d == &plan.pdc_decoder) {
            if (!holds_frame(plan.pdc_decoder.output, pixels) || d->size / 4 != pdc_channels)
                return false;
            pass.pdc_offset = d->offset;
            pass.pdc = plan.pdc_decoder.output->data();
        } else if (d == &plan.noise_decoder) {
            if (!holds_frame(plan.noise_decoder.output, pixels) || d->size / 4 != 1)
                return false;
            pass.noise_offset = d->offset;
            pass.noise_rule = detail::fixed_point_rule(plan.noise_decoder.format);
            pass.noise = plan.noise_decoder.output->data();
        } else if ((k = index_among(d, plan.radial_depth_decoders)) >= 0) {
            const auto& r = plan.radial_depth_decoders[k];
            if (!holds_frame(r.output, pixels) || r.size / 4 != 1 || !place_in_group(pass, k, r.offset, 0, placed[k]))
                return false;
            pass.echoes[k].radial = detail::fixed_point_rule(r.format);
            pass.echoes[k].radial_depth = r.output->data();
        } else if ((k = index_among(d, plan.point_decoders)) >= 0) {
            const auto& p = plan.point_decoders[k];
            if (!holds_frame(p.output, pixels) || p.size / 4 != 3 || p.formats.size() < 3 ||
                !place_in_group(pass, k, p.offset, point_place, placed[k]))
                return false;
            pass.echoes[k].x = detail::fixed_point_rule(p.formats[0]);
            pass.echoes[k].y = detail::fixed_point_rule(p.formats[1]);
            pass.echoes[k].z = detail::fixed_point_rule(p.formats[2]);
            pass.echoes[k].point = p.output->data();
        } else if ((k = index_among(d, plan.peak_height_decoders)) >= 0) {
            const auto& h = plan.peak_height_decoders[k];
            if (!holds_frame(h.output, pixels) || h.size / 4 != 1 ||
                !place_in_group(pass, k, h.offset, height_place, placed[k]))
                return false;
            pass.echoes[k].height = detail::fixed_point_rule(h.format);
            pass.echoes[k].peak_height = h.output->data();
        } else if ((k = index_among(d, plan.peak_status_decoders)) >= 0) {
            const auto& s = plan.peak_status_decoders[k];
            if (!holds_frame(s.output, pixels) || s.size / 4 != 1 ||
                !place_in_group(pass, k, s.offset, status_place, placed[k]))
                return false;
            pass.echoes[k].status = s.output->data();
        } else {
            return false;
        }
    }
    pass.derives_cartesian_depth = derive_during_pass(plan, pass, pixels);
    return true;
}

void whole_line_pass::decode(const std::uint8_t* line, std::uint32_t first_index, std::uint32_t count) const {
    // Local copies: the compiler cannot otherwise tell that the outputs written do not overlap
    // this record, and would read every field again after each store.
    const std::uint32_t stride = line_size;
    histogram_bins_t* const histogram_out = histogram;
    pdc_counts_t* const pdc_out = pdc;
    float* const noise_out = noise;
    const std::uint32_t histogram_at = histogram_offset, pdc_at = pdc_offset, noise_at = noise_offset;
    const detail::fixed_point_rule noise_format = noise_rule;
    const std::uint8_t* l = line;
    for (std::uint32_t p = first_index; p + 4 <= first_index + count; p += 4, l += 4 * stride) {
        if (histogram_out != nullptr)
            for (std::uint32_t i = 0; i < 4; ++i)
                detail::copy_words<histogram_bins>(histogram_out[p + i].data(), l + i * stride + histogram_at);
        if (pdc_out != nullptr)
            for (std::uint32_t i = 0; i < 4; ++i)
                detail::copy_words<pdc_channels>(pdc_out[p + i].data(), l + i * stride + pdc_at);
        if (noise_out != nullptr)
            store4(std::bit_cast<int4>(decode4(gather(l, stride, noise_at), noise_format)), noise_out + p);
    }
    // Then each echo group over the same lines, which are still in the first-level cache.
    for (std::uint32_t e = 0; e < echo_count; ++e) {
        const echo_fields fields = echoes[e];
        l = line;
        for (std::uint32_t p = first_index; p + 4 <= first_index + count; p += 4, l += 4 * stride)
            decode_echo_four(fields, l, stride, p);
    }
}

}  // namespace vorlake::tessaro
