// vornlake: the Corvantis Online Backup client.
#include "shell/startup.h"

int main(int argc, char** argv) { return vl::app_main(argc, argv); }
