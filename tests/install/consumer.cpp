// Opens an offline camera in a dual-depth mode through the installed headers and library.
#include <vorlake/tessaro/camera.hpp>

int main() {
    auto camera = vorlake::tessaro::create_camera_offline("consumer");
    return camera->open(0x301C) == 0 && camera->get_camera_info().dual_depth_mode ? 0 : 1;
}
