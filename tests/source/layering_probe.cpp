// Compiled with the include roots of one library of the product and one header named by the
// build: a header of the Linux layer must not be found, a contract must.
#include PENDRA_PROBE_HEADER
