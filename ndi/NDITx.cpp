#include "ndi/NDITx.h"

NDITx::NDITx(SenderTable* senders, SourceFrames* sourceFrames, SourceAudioReady* audioReady,
             SenderChannelMappings* senderChannelMappings)
    : _senders(senders), _sourceFrames(sourceFrames), _sourceAudioReady(audioReady),
      _senderChannelMappings(senderChannelMappings) {}

NDITx::~NDITx() = default;

void NDITx::planRouting() {
    _router.plan(*_senders, *_senderChannelMappings, *_sourceFrames, *_sourceAudioReady);
}

void NDITx::process() {
    _router.route();
    const Sender* monitor = _router.monitor();
    for (auto& entry : *_senders) {
        Sender& sender = entry.second;
        if (&sender == monitor) {
            continue;
        }
        sender.delayLine.followAudioFormat(sender.audioFrame);
        sender.delayLine.delayAudio(sender.audioFrame);
        if (sender.audioFrame.p_data != nullptr && sender.sendInstance != nullptr) {
            _ndi.calls().send_send_audio_v2(sender.sendInstance, &sender.audioFrame);
        }
    }
}
