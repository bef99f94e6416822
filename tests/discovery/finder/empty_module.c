/* A loadable object with nothing of interest in it. */
int EmptyModuleMarker(void) { return 0; }
