#include "service/keld4.h"

int main() { return 0; }
