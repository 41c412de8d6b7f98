#pragma once

#include "audio/BlockRouter.h"
#include "audio/RoutingTables.h"
#include "ndi/NDIRuntime.h"

#include <cstdint>

// The sending half of the engine: once per block it fills every sender's
// buffer from the captured source audio (BlockRouter), delays the audio of
// senders with a positive A/V delay and hands each block to the NDI runtime.
// Holds pointers to the controller's tables (not owned).
class NDITx {
public:
    NDITx(SenderTable* senders, SourceFrames* sourceFrames, SourceAudioReady* audioReady,
          SenderChannelMappings* senderChannelMappings);
    virtual ~NDITx();

    // Audio thread, once per block after NDIRx::update (and once more at
    // shutdown): routing, then for every sender but "Monitor" its audio delay
    // and the send. No allocation.
    void process();

    // Audio thread, inside event application: re-resolves the routing after the
    // tables changed.
    void planRouting();

    // "Monitor", when it exists. Audio thread.
    Sender* monitor() const { return _router.monitor(); }

    // Set by the controller when the device starts (before blocks run).
    int32_t sampleRate = 0;
    int32_t blockSize = 0;

private:
    SenderTable* _senders;
    SourceFrames* _sourceFrames;
    SourceAudioReady* _sourceAudioReady;
    SenderChannelMappings* _senderChannelMappings;
    BlockRouter _router;
    const NDIRuntime& _ndi = NDIRuntime::active();
};
