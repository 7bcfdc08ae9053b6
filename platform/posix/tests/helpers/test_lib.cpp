// A library the platform tests load twice: each loaded copy keeps its own counter.
extern "C" __attribute__((visibility("default"))) int kvlbBump() {
    static int count = 0;
    return ++count;
}
