// The `quilt` command.
#include <stdio.h>
#include <string.h>

namespace {

const char kUsage[] =
    "usage: quilt COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  demo      walk through what the product does on the embedded default machine\n"
    "  --help    this text\n";

int RunDemo() {
    printf("quilt: a file-system filter driver that keeps Windows volumes unchanged across restarts.\n");
    printf("This build runs the driver inside a stand-in for the NT kernel.\n");
    printf("The simulated machine is not built yet: the demo has no steps to run.\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
        fputs(kUsage, stdout);
        return argc < 2 ? 2 : 0;
    }
    if (strcmp(argv[1], "demo") == 0) {
        return RunDemo();
    }
    fprintf(stderr, "quilt: unknown command '%s'\n%s", argv[1], kUsage);
    return 2;
}
