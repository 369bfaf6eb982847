// Standard input, output and error closed at start.
#ifndef MARQUELL_DESCRIPTORS_H
#define MARQUELL_DESCRIPTORS_H

// Opens /dev/null (or, failing that, any file) on each of descriptors 0, 1
// and 2 that is closed, so that nothing opened later lands there. Call it
// first thing in main.
void ReserveStandardDescriptors();

#endif
