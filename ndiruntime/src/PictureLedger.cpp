#include "PictureLedger.h"

namespace ndiruntime {

PictureLedger& PictureLedger::instance() {
    static PictureLedger ledger;
    return ledger;
}

void PictureLedger::lend(std::shared_ptr<const VideoPicture> picture, NDIlib_video_frame_v2_t& frame) {
    const VideoDescriptor& video = picture->descriptor;
    frame.xres = video.xres;
    frame.yres = video.yres;
    frame.FourCC = static_cast<NDIlib_FourCC_video_type_e>(video.fourCC);
    frame.frame_rate_N = video.frameRateN;
    frame.frame_rate_D = video.frameRateD;
    frame.picture_aspect_ratio = video.pictureAspectRatio;
    frame.frame_format_type = static_cast<NDIlib_frame_format_type_e>(video.frameFormatType);
    frame.timecode = video.timecode;
    frame.line_stride_in_bytes = video.strideOrSize;
    frame.timestamp = video.timestamp;
    frame.p_data = const_cast<uint8_t*>(picture->data.data());
    frame.p_metadata = picture->metadata.empty() ? nullptr : picture->metadata.c_str();
    std::lock_guard lock(_mutex);
    Loan& loan = _loans[frame.p_data];
    loan.picture = std::move(picture);
    ++loan.count;
}

void PictureLedger::giveBack(const uint8_t* data) {
    std::shared_ptr<const VideoPicture> last; // freed outside the lock
    std::lock_guard lock(_mutex);
    auto loan = _loans.find(data);
    if (loan == _loans.end())
        return;
    if (--loan->second.count == 0) {
        last = std::move(loan->second.picture);
        _loans.erase(loan);
    }
}

size_t PictureLedger::outstanding() {
    std::lock_guard lock(_mutex);
    return _loans.size();
}

} // namespace ndiruntime
