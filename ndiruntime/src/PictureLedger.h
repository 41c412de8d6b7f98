// The pictures lent out to callers, by data pointer, with a count per loan.
// One process-wide ledger, so that a picture stays valid until it is freed
// even when the frame-sync or receiver it came from is gone; several loans of
// one picture share its memory.
#pragma once

#include "NDIlib.h"
#include "VideoPicture.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace ndiruntime {

class PictureLedger {
public:
    static PictureLedger& instance();

    // Fills the descriptor with the picture and records the loan. Any thread.
    void lend(std::shared_ptr<const VideoPicture> picture, NDIlib_video_frame_v2_t& frame);
    // Ends one loan of the picture that holds this data; unknown pointers are ignored.
    void giveBack(const uint8_t* data);
    size_t outstanding();

private:
    struct Loan {
        std::shared_ptr<const VideoPicture> picture;
        size_t count = 0;
    };
    std::mutex _mutex; // guards _loans
    std::unordered_map<const uint8_t*, Loan> _loans;
};

} // namespace ndiruntime
