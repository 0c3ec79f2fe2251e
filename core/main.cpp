#include "core/svc.h"

int main(int argc, char** argv) { return Svc_Main(argc, argv); }
