// Opens an offline camera in a dual-depth mode through the installed headers and library.
#include <cstdio>
#include <vorlake/tessaro/camera.hpp>

int main() {
    auto camera = vorlake::tessaro::create_camera_offline("consumer");
    const int opened = camera->open(0x301C);
    const auto& info = camera->get_camera_info();
    std::printf("%s %s mode %#x dual %d: %d\n", info.id.c_str(), info.model.c_str(), info.mode,
                info.dual_depth_mode, opened);
    return opened == 0 && info.dual_depth_mode ? 0 : 1;
}
