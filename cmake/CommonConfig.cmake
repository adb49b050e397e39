# Build policy shared by every target: link tavlo_common_config and nothing else
# needs to repeat warning flags or Qt strictness.
add_library(tavlo_common_config INTERFACE)
target_compile_features(tavlo_common_config INTERFACE cxx_std_17)
target_compile_options(tavlo_common_config INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra>
    $<$<CXX_COMPILER_ID:MSVC>:/W4>)
target_compile_definitions(tavlo_common_config INTERFACE
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_USE_QSTRINGBUILDER
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_DISABLE_DEPRECATED_BEFORE=0x050F00
    # File, line and function reach the trace log in every build type.
    QT_MESSAGELOGCONTEXT)
