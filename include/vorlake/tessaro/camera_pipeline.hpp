// The media-controller layer between a camera and its capture hardware.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <linux/media.h>

#include <vorlake/tessaro/line_swap_table.hpp>
#include <vorlake/tessaro/unique_fd.hpp>

namespace vorlake::tessaro {

struct entity_info {
    std::uint32_t id = 0;
    std::string device_node;  // empty when the entity has no device node
};

struct pad_ref {
    std::uint32_t id = 0;
    std::uint32_t entity_id = 0;
    std::uint16_t index = 0;  // position among the pads of its entity
};

struct link_ref {
    pad_ref source;
    pad_ref sink;
    std::uint32_t flags = 0;
};

// What a camera asks of its pipeline when it is opened in a mode.
struct pipeline_configuration {
    std::uint32_t image_width = 672;
    std::uint32_t image_height = 588;
    std::uint32_t ebd_width = 672;
    std::uint32_t ebd_height = 12;
    line_swap_table swap_table;
};

class camera_pipeline {
public:
    explicit camera_pipeline(const std::string& media_device_path);
    camera_pipeline(const camera_pipeline&) = delete;
    camera_pipeline& operator=(const camera_pipeline&) = delete;

    virtual bool valid() const;
    virtual int get_stream_device_nodes(std::string& image_node, std::string& ebd_node) = 0;
    virtual int get_sensor_device_node(std::string& node) = 0;
    virtual int configure(const pipeline_configuration& config) = 0;
    virtual ~camera_pipeline();

    virtual int load_topology(std::vector<media_v2_link>& links,
                              std::vector<media_v2_interface>& interfaces,
                              std::vector<media_v2_pad>& pads);
    virtual std::string entity_device_node(const media_v2_entity& entity,
                                           const std::vector<media_v2_interface>& interfaces,
                                           const std::vector<media_v2_link>& links);
    virtual std::string device_node_from_number(std::uint32_t major, std::uint32_t minor);
    virtual int reset_links(const std::vector<media_v2_link>& links,
                            const std::vector<media_v2_pad>& pads);
    virtual int setup_link(link_ref& link, bool enable);
    virtual int find_pad(std::uint32_t pad_id, const std::vector<media_v2_pad>& pads,
                         pad_ref& out);
    virtual int entity_id(const std::string& name);
    virtual int find_links(const std::string& source_name, const std::string& sink_name,
                           const std::vector<media_v2_link>& links,
                           const std::vector<media_v2_pad>& pads, std::vector<link_ref>& out);
    virtual int set_pad_format(const pad_ref& pad, std::uint32_t width, std::uint32_t height,
                               std::uint32_t code);
    virtual int set_video_format(const std::string& device_node, std::uint32_t width,
                                 std::uint32_t height, std::uint32_t pixel_format);
    virtual const entity_info* find_entity(const std::string& name) const;
    virtual const entity_info* find_entity_by_id(std::uint32_t id) const;

protected:
    unique_fd media_fd;
    std::string camera_entity_name;
    std::unordered_map<std::string, entity_info> entities;
};

}  // namespace vorlake::tessaro
