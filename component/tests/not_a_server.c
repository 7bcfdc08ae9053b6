/* A shared library that exports no class object: what a wrong registry entry may name. */
int kvlbNotAServer(void) {
    return 0;
}
