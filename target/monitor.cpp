// Start-up placeholder until the monitor is written: idles forever.
extern "C" [[noreturn]] void monitor_loop() {
    for (;;) {
    }
}
