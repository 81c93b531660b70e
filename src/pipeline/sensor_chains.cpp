#include "pipeline/sensor_chains.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace vorlake::tessaro {

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool is_data_link(const media_v2_link& link) {
    return (link.flags & MEDIA_LNK_FL_LINK_TYPE) == MEDIA_LNK_FL_DATA_LINK;
}

// A link's source and sink entities (0 for a pad the topology does not hold).
class link_ends {
public:
    explicit link_ends(const std::vector<media_v2_pad>& pads) {
        for (const media_v2_pad& pad : pads)
            entity_of_pad.emplace(pad.id, pad.entity_id);
    }
    std::pair<std::uint32_t, std::uint32_t> operator()(const media_v2_link& link) const {
        return {entity_of(link.source_id), entity_of(link.sink_id)};
    }

private:
    std::uint32_t entity_of(std::uint32_t pad) const {
        const auto found = entity_of_pad.find(pad);
        return found == entity_of_pad.end() ? 0 : found->second;
    }
    std::unordered_map<std::uint32_t, std::uint32_t> entity_of_pad;
};

using entity_pair = std::pair<std::uint32_t, std::uint32_t>;

entity_pair unordered(std::uint32_t a, std::uint32_t b) { return std::minmax(a, b); }

void add_pairs(std::set<entity_pair>& pairs, const sensor_chain& chain) {
    pairs.insert(unordered(chain.sensor, chain.csi2));
    pairs.insert(unordered(chain.csi2, chain.video));
    pairs.insert(unordered(chain.sensor, chain.video));
}

}  // namespace

// Every step is a table look-up: the counts come from the kernel, and a hostile topology must
// not turn discovery quadratic.
std::vector<sensor_chain> find_sensor_chains(
    const std::unordered_map<std::string, entity_info>& entities,
    const std::vector<media_v2_link>& links, const std::vector<media_v2_pad>& pads,
    const std::string& keyword) {
    std::unordered_map<std::uint32_t, const std::string*> name_of;
    for (const auto& [name, entity] : entities)
        name_of.emplace(entity.id, &name);
    const auto has = [&](std::uint32_t id, const std::string& part) {
        const auto found = name_of.find(id);
        return found != name_of.end() && contains(*found->second, part);
    };
    const auto is_video = [&](std::uint32_t id) {
        return has(id, "vi-output") && has(id, keyword);
    };
    const auto is_sensor = [&](std::uint32_t id) {
        return has(id, keyword) && !has(id, "vi-output");
    };
    const auto is_csi2 = [&](std::uint32_t id) {
        return has(id, "nvcsi") && !has(id, "vi-output");
    };
    // The sensor a vi-output's label ("vi-output, " + sensor) names, or 0.
    const auto labelled_sensor = [&](std::uint32_t video) -> std::uint32_t {
        const std::string& name = *name_of.at(video);
        const std::size_t comma = name.find(", ");
        const auto named =
            comma == std::string::npos ? entities.end() : entities.find(name.substr(comma + 2));
        return named != entities.end() && is_sensor(named->second.id) ? named->second.id : 0;
    };

    std::vector<std::uint32_t> videos;
    std::vector<sensor_chain> chains;
    for (const auto& [id, name] : name_of) {
        if (is_video(id))
            videos.push_back(id);
        else if (is_sensor(id))
            chains.push_back(sensor_chain{id, 0, 0});
    }
    std::sort(videos.begin(), videos.end());
    std::sort(chains.begin(), chains.end(),
              [](const sensor_chain& a, const sensor_chain& b) { return a.sensor < b.sensor; });

    const link_ends ends(pads);
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> csi2_after;  // by sensor
    std::unordered_map<std::uint32_t, std::uint32_t> first_video;               // by nvcsi entity
    std::map<entity_pair, std::uint32_t> video_for;  // by nvcsi entity and the sensor labelled
    for (const media_v2_link& link : links) {
        if (!is_data_link(link))
            continue;
        const auto [source, sink] = ends(link);
        if (is_sensor(source) && is_csi2(sink)) {
            csi2_after[source].push_back(sink);
        } else if (is_csi2(source) && is_video(sink)) {
            first_video.try_emplace(source, sink);
            if (const std::uint32_t sensor = labelled_sensor(sink); sensor != 0)
                video_for.try_emplace({source, sensor}, sink);
        }
    }
    std::unordered_map<std::uint32_t, std::uint32_t> label_of;  // first labelled vi-output
    for (const std::uint32_t video : videos) {
        if (const std::uint32_t sensor = labelled_sensor(video); sensor != 0)
            label_of.try_emplace(sensor, video);
    }

    for (sensor_chain& chain : chains) {
        for (const std::uint32_t csi2 : csi2_after[chain.sensor]) {
            const auto labelled = video_for.find({csi2, chain.sensor});
            const auto first = first_video.find(csi2);
            if (labelled != video_for.end() || first != first_video.end()) {
                chain.csi2 = csi2;
                chain.video = labelled != video_for.end() ? labelled->second : first->second;
                break;
            }
        }
        if (!chain.complete() && label_of.contains(chain.sensor))
            chain.video = label_of[chain.sensor];
    }
    return chains;
}

std::vector<media_v2_link> links_outside_other_chains(const std::vector<media_v2_link>& links,
                                                      const std::vector<media_v2_pad>& pads,
                                                      const std::vector<sensor_chain>& chains,
                                                      const sensor_chain& own) {
    std::set<entity_pair> others, mine;
    for (const sensor_chain& chain : chains) {
        if (chain.complete() && chain.sensor != own.sensor)
            add_pairs(others, chain);
    }
    if (others.empty())
        return links;
    add_pairs(mine, own);
    const link_ends ends(pads);
    std::vector<media_v2_link> kept;
    for (const media_v2_link& link : links) {
        const auto [source, sink] = ends(link);
        const entity_pair pair = unordered(source, sink);
        if (!is_data_link(link) || !others.contains(pair) || mine.contains(pair))
            kept.push_back(link);
    }
    return kept;
}

}  // namespace vorlake::tessaro
