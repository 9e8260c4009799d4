// veerpix: the command-line host of the library. It uses only the exported
// C interface, as any other host would; its parts are named in cli.h.
#include "cli.h"

int main(int argc, char** argv) {
    cli::Request request;
    int status = cli::parse_arguments(argc, argv, &request);
    if (status >= 0) return status;
    cli::install_cleanup_handlers();
    return cli::run_request(request);
}
