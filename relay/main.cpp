#include "supervisor.h"

int main() { runRelay(); }
