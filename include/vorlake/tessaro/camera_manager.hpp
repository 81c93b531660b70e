// The process-wide list of discovered cameras.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera.hpp>

namespace vorlake::tessaro {

struct camera_entry {
    std::string id;
    std::shared_ptr<::vorlake::tessaro::camera> camera;
    // Another id the camera answers to (its sensor's own, on a device with several); may be empty.
    std::string alias;
};

class camera_manager {
public:
    static camera_manager& instance();

    camera_manager(const camera_manager&) = delete;
    camera_manager& operator=(const camera_manager&) = delete;

    // Rediscovers the cameras, replacing the list; always 0.
    int init();
    std::vector<camera_info> get_camera_list() const;
    // The listed camera whose id or alias matches exactly, or an empty pointer.
    std::shared_ptr<camera> get_camera(const std::string& id) const;

private:
    camera_manager() = default;

    std::vector<camera_entry> cameras;
};

}  // namespace vorlake::tessaro
