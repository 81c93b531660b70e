// Which sensor of a media device reaches memory through which nvcsi receiver and vi-output.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <linux/media.h>

#include <vorlake/tessaro/camera_pipeline.hpp>

namespace vorlake::tessaro {

// Entity ids; 0 where there is none.
struct sensor_chain {
    std::uint32_t sensor = 0;
    std::uint32_t csi2 = 0;   // 0 when only the vi-output's label ties it to the sensor
    std::uint32_t video = 0;  // 0 when nothing leads from the sensor to a vi-output
    // Data links run from the sensor through an nvcsi entity to a vi-output.
    bool complete() const { return csi2 != 0 && video != 0; }
};

// One chain for every sensor (an entity holding the keyword that is not a vi-output), by entity
// id. A sensor's data links decide its chain; failing them, a vi-output labelled
// "vi-output, " + its name. An nvcsi entity that feeds several vi-outputs gives each sensor the
// one labelled with its name, else the first linked.
std::vector<sensor_chain> find_sensor_chains(
    const std::unordered_map<std::string, entity_info>& entities,
    const std::vector<media_v2_link>& links, const std::vector<media_v2_pad>& pads,
    const std::string& keyword);

// The links a pipeline may reset: all but those of another camera's complete chain (both ends
// among that chain's entities, not both among its own).
std::vector<media_v2_link> links_outside_other_chains(const std::vector<media_v2_link>& links,
                                                      const std::vector<media_v2_pad>& pads,
                                                      const std::vector<sensor_chain>& chains,
                                                      const sensor_chain& own);

}  // namespace vorlake::tessaro
