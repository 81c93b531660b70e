// How large a media graph may be, against the counts the kernel reports for it.
#pragma once

#include <cstdint>

#include <linux/media.h>

namespace vorlake::tessaro {

// Records of each kind a topology may hold. Boards register tens of entities (a Jetson with
// sixteen cameras some fifty), and the media core addresses an entity's pads by a 16-bit index;
// at this bound the room for every record stays below 20 MB.
constexpr std::uint32_t max_topology_records = 1u << 16;

// Counts beyond the bound are a topology that cannot be read, not a request for gigabytes.
inline bool topology_counts_fit(const media_v2_topology& topology) {
    return topology.num_entities <= max_topology_records &&
           topology.num_interfaces <= max_topology_records &&
           topology.num_pads <= max_topology_records && topology.num_links <= max_topology_records;
}

}  // namespace vorlake::tessaro
