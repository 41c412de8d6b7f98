#pragma once

#include <juce_events/juce_events.h>

// Makes the thread that creates it (the GUI thread) JUCE's message thread, for
// as long as it lives. JUCE's JACK device handles a change of its ports'
// connections at once when the notification arrives on the message thread, and
// otherwise queues it for that thread. Without a message thread of ours, the
// first JACK notification thread to ask would become it, and then restart the
// device and walk the device type's listener list on that thread while the GUI
// thread does the same (a corrupted list, and a crash when the device manager
// goes). JUCE's queue is not run: the device keeps the outputs it opened with,
// so connecting or disconnecting its ports never stops or restarts the engine.
//
// Must be created before the device manager and destroyed after it.
class JuceMessageThread {
public:
    JuceMessageThread() = default;
    JuceMessageThread(const JuceMessageThread&) = delete;
    JuceMessageThread& operator=(const JuceMessageThread&) = delete;

private:
    juce::ScopedJuceInitialiser_GUI _initialiser;
};
