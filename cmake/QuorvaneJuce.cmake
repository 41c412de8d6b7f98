# JUCE's modules compiled once into a static library that the engine links.
# JUCE's own sources are built without our warning flags.
add_library(quorvane_juce STATIC)
target_link_libraries(quorvane_juce
    PRIVATE juce::juce_audio_devices
    PUBLIC juce::juce_recommended_config_flags)
target_compile_definitions(quorvane_juce PUBLIC
    JUCE_USE_CURL=0
    JUCE_WEB_BROWSER=0
    JUCE_STANDALONE_APPLICATION=0
    JUCE_MODAL_LOOPS_PERMITTED=0
    JUCE_ALSA=1
    JUCE_JACK=1
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_USE_XRANDR=0
    JUCE_USE_XINERAMA=0
    JUCE_USE_XSHM=0
    JUCE_USE_XRENDER=0
    JUCE_USE_XCURSOR=0)
target_compile_definitions(quorvane_juce INTERFACE $<TARGET_PROPERTY:quorvane_juce,COMPILE_DEFINITIONS>)
target_include_directories(quorvane_juce INTERFACE $<TARGET_PROPERTY:quorvane_juce,INCLUDE_DIRECTORIES>)
set_target_properties(quorvane_juce PROPERTIES POSITION_INDEPENDENT_CODE ON)
