// STUB: replaced by the tavrik command.
#include "tavrik.h"
int main() { return tavrik_init() == 1 ? 0 : 1; }
