// Sends one notification request to the web script and ends; the reply is read and dropped.

#include "WebForm.h"

#include <iostream>
#include <vector>

#ifndef SETUPNOTIFY_HOST
#error "SETUPNOTIFY_HOST must name the server's base URL"
#endif

int main() {
    openutils::WebForm form;
    std::vector<char> buffer(100100);
    try {
        form.setHost(SETUPNOTIFY_HOST);
        form.setScriptPath("/register_sweepkit_yz.php");
        form.sendRequest();
        form.readResponse(buffer.data(), 100000);
    } catch (openutils::WebFormException e) {
        std::cout << e.getMessage() << std::endl;
    }
    return 0;
}
