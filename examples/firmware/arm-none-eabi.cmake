# Debian's gcc-arm-none-eabi for a Cortex-M3, bare metal: no operating system,
# newlib-nano only for what the compiler may call (memcpy, memset).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
# A test executable would need a startup file and a linker script.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-m3 -mthumb -ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostartfiles --specs=nano.specs -Wl,--gc-sections")
