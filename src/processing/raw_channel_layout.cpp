#include "processing/raw_channel_layout.hpp"

namespace vorlake::tessaro {

namespace {

constexpr fixed_point_format unsigned_quarters{0, 2};
constexpr fixed_point_format signed22_quarters{21, 2};
constexpr fixed_point_format signed25_quarters{24, 2};

void add_echo_group(raw_channel_layout& layout, std::uint32_t first_id) {
    layout.channels.push_back({first_id, 4, 0, {unsigned_quarters}});
    layout.channels.push_back({first_id + 1, 12, 0, {signed22_quarters, signed22_quarters, unsigned_quarters}});
    layout.channels.push_back({first_id + 2, 4, 0, {signed25_quarters}});
    layout.channels.push_back({first_id + 3, 4, 0, {}});
}

}  // namespace

raw_channel_layout make_raw_channel_layout() {
    raw_channel_layout layout;
    layout.base_offset = 0;
    layout.channels.reserve(16);
    layout.channels.push_back({0, 4, 0, {}});     // line word
    layout.channels.push_back({2, 576, 0, {}});   // histogram, 144 bins
    layout.channels.push_back({3, 16, 0, {}});    // pdc, 4 counters
    layout.channels.push_back({1, 4, 0, {unsigned_quarters}});  // noise level
    for (std::uint32_t group = 0; group < 3; ++group)
        add_echo_group(layout, 4 + 4 * group);
    return layout;
}

raw_channel* find_channel(raw_channel_layout& layout, std::uint32_t id) {
    for (auto& channel : layout.channels)
        if (channel.id == id)
            return &channel;
    return nullptr;
}

std::uint16_t channel_offset(const raw_channel_layout& layout, std::uint32_t id) {
    std::uint16_t offset = layout.base_offset;
    for (const auto& channel : layout.channels) {
        if (channel.id == id)
            break;
        offset = static_cast<std::uint16_t>(offset + channel.size);
    }
    return offset;
}

}  // namespace vorlake::tessaro
