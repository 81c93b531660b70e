// get_frame: one frame from the image stream through decoding and the dual-depth merge into the
// camera's record, then its embedded data.
#include <cerrno>
#include <string>

#include "camera/camera_impl.hpp"
#include "messages/message_output.hpp"
#include "processing/embedded_data.hpp"
#include "processing/raw_channel_layout.hpp"
#include "processing/raw_frame_decoder.hpp"

namespace vorlake::tessaro {
namespace {

constexpr const char* frame_failure = "Cannot get a frame: ";

}  // namespace

frame_buffer& camera_impl::get_frame(std::uint32_t timeout_ms) {
    if (!frame || info.status != camera_status::streaming)
        return not_streaming();
    stream_slot& image = slots[image_slot];
    if (!image.stream)
        return report_frame_error(-EACCES, "missing streams");

    // The stream may hand control to caller code (an offline source) that stops or restarts
    // this camera or replaces the stream; the local shares keep the record the read writes into
    // and the stream that reads alive meanwhile, and the read ends with its own stream's result.
    const std::shared_ptr<frame_buffer> current = frame;
    if (depth_selection)
        depth_selection->prepare_frame(*current);

    const std::shared_ptr<camera_stream> image_stream = image.stream;
    const int read = image_stream->read_frame(current->raw_image, timeout_ms);
    if (frame != current)
        return record_replaced();
    if (read != 0) {
        write_message(message_stream::standard_output, message_severity::error,
                      std::string(frame_failure) + "stream[image]: errcode=" + std::to_string(read));
        current->error = read;
        return *current;
    }
    const capture_timing capture = image_stream->last_capture_timing();

    const raw_frame_context context{*current, info.dual_depth_mode, swap_table, swap_buffer,
                                    *image_processor};
    if (int code = process_raw_data(context); code != 0)
        return report_frame_error(code, "failed processing raw data");
    if (info.dual_depth_mode && depth_selection) {
        if (int code = depth_selection->merge(*current); code != 0)
            return report_frame_error(code, "failed depth merging");
    }
    current->error = 0;

    // Only a stream that start brought up: one added since is not read until the next start.
    bool ebd_decoded = false;
    if (slots[ebd_slot].started) {
        const std::shared_ptr<camera_stream> ebd_stream = slots[ebd_slot].stream;
        const int ebd_read = ebd_stream->read_frame(current->raw_ebd, timeout_ms);
        // A restart in another mode would decode with the wrong block count.
        if (frame != current)
            return record_replaced();
        ebd_decoded = decode_ebd(*current, ebd_read);
    }
    timing.stamp(*current, capture, ebd_decoded, block_count());
    return *current;
}

// The image outputs are already decoded and stay valid, so a missing embedded-data frame does
// not turn this frame into a failure: error stays 0, and frame_id and timestamp go back to 0,
// which is what they read whenever nothing was decoded for the frame. The sensor report goes back
// to its reset values too, so that it never passes an older frame's values off as this one's.
bool camera_impl::decode_ebd(frame_buffer& current, int read) {
    int decoded = -EINVAL;
    if (read == 0) {
        const embedded_data_decoder decoder{&current, sensor.get(), block_count(), raw_line_size};
        decoded = decode_embedded_data(decoder, current.raw_ebd);
    }
    if (read == 0 && decoded == 0)
        return true;
    current.frame_id = 0;
    current.timestamp = 0;
    *sensor = sensor_info{};
    if (read != 0)
        write_message(message_stream::standard_output, message_severity::error,
                      std::string(frame_failure) + "stream[ebd]: errcode=" + std::to_string(read));
    else
        write_message(message_stream::standard_output, message_severity::error,
                      std::string(frame_failure) + "failed decoding embedded data: errcode=" + std::to_string(decoded));
    return false;
}

frame_buffer& camera_impl::report_frame_error(std::int32_t code, const char* text) {
    write_message(message_stream::standard_output, message_severity::error,
                  std::string(frame_failure) + text);
    frame->error = code;
    return *frame;
}

// The read stopped or restarted the camera. Its record is gone or belongs to the new start, whose
// processor points into it, so it is reported on, never replaced while streaming.
frame_buffer& camera_impl::record_replaced() {
    if (frame && info.status == camera_status::streaming)
        return report_frame_error(-EACCES, "camera not streaming");
    return not_streaming();
}

frame_buffer& camera_impl::not_streaming() {
    // A fresh record: whoever still holds the previous one keeps it as it was.
    frame = std::make_shared<frame_buffer>(-EACCES);
    return report_frame_error(-EACCES, "camera not streaming");
}

}  // namespace vorlake::tessaro
