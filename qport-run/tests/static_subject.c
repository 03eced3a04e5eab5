/* A statically linked program: no loader, so no preload can enter it. */
int main(void) { return 0; }
