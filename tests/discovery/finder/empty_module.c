/* A loadable object with nothing of interest in it. */
int empty_module_marker(void) { return 0; }
