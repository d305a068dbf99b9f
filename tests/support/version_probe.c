/* A Windows program that does nothing: the Linux build compiles it with
   mingw-w64 so that the version reader's tests have a real Windows
   executable with the product's version resource. */
int main(void) { return 0; }
