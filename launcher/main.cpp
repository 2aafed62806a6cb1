// The executable's entry: the launcher on the platform it was built for.
#include "launcher/launcher.h"

int main(int argc, char* argv[]) {
    return LauncherMain(SystemPlatform(), argc, argv);
}
