#include "loconet/kvr_link_words.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace {

// The window's button; the same words serve busprobe-cli, whose users meet
// the same failures.
constexpr const char* press_connect = "press Connect.";

// The system's text for `err`, in lower case as part of a sentence.
std::string why(int err) {
    std::string text = std::strerror(err);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string open_words(const std::string& port, int err) {
    switch (err) {
    case ENOENT:
        return "There is no port " + port + ". Plug the adapter in or choose another port and " + press_connect;
    case ENODEV:
    case ENXIO:
        return "The adapter " + port + " does not answer. Plug it in again and " + press_connect;
    case EACCES:
    case EPERM:
        return "You may not use " + port +
               ". Join the dialout group (sudo usermod -aG dialout $USER) and log in again. Then " + press_connect;
    case EBUSY:
        return port + " is in use by another program. Close that program and " + press_connect;
    default:
        return port + " could not be opened (" + why(err) + "). Check the port and " + press_connect;
    }
}

std::string tcp_connect_words(const std::string& server, int err) {
    switch (err) {
    case ECONNREFUSED:
        return "Nothing listens at " + server +
               " (connection refused). Start the server or correct the address and " + press_connect;
    case ETIMEDOUT:
        return "No answer from " + server + " within 3 s. Check the address and the network and " +
               press_connect;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
        return "No network route to " + server + ". Check the address and the network and " + press_connect;
    default:
        return "Cannot connect to " + server + " (" + why(err) + "). Check the address and " + press_connect;
    }
}

std::string tcp_resolve_words(const std::string& host, int status) {
    // A name server that did not answer says nothing about the name itself.
    if (status == EAI_AGAIN)
        return "The name " + host + " could not be looked up (" + gai_strerror(status) +
               "). Check the network and " + press_connect;
    return "Unknown host " + host + ". Check the name and " + press_connect;
}

std::string tcp_lost_words(const std::string& server, int err) {
    switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ENOTCONN:
        return "The server " + server + " closed the connection. Start it again and " + press_connect;
    default:
        return "The connection to " + server + " was lost (" + why(err) + "). " +
               "Check the server and the network and " + press_connect;
    }
}

}  // namespace

std::string kvr_link_words(kvr_link_step step, const std::string& port, int err, const std::string& detail) {
    switch (step) {
    case kvr_link_step::open:
        return open_words(port, err);
    case kvr_link_step::not_serial:
        return port + " is not a serial port. Choose the adapter's port and " + press_connect;
    case kvr_link_step::rate:
        return port + " cannot run at the adapter's rate. Choose another port or adapter kind and " +
               press_connect;
    case kvr_link_step::setup:
        return port + " could not be set up (" + why(err) + "). Plug the adapter in again and " + press_connect;
    case kvr_link_step::lost:
        // EIO, ENXIO, ENODEV: the device has gone, as when a USB adapter is
        // pulled out; anything else is a failure the link lives with.
        if (err == EIO || err == ENXIO || err == ENODEV)
            return "The adapter " + port + " was unplugged. Plug it in and " + press_connect;
        return "Talking to " + port + " failed (" + why(err) + "); the link goes on.";
    case kvr_link_step::tcp_address:
        return port + " is not a server address (" + detail + "). Write it as tcp://HOST[:PORT] and " +
               press_connect;
    case kvr_link_step::tcp_resolve:
        return tcp_resolve_words(port, err);
    case kvr_link_step::tcp_connect:
        return tcp_connect_words(port, err);
    case kvr_link_step::tcp_lost:
        return tcp_lost_words(port, err);
    case kvr_link_step::tcp_refused:
        // The server's own reason is in the report below; nothing was sent,
        // so the command may simply be given again.
        return "The server " + port + " did not put the message on the bus. Try again when the bus is quieter.";
    }
    return {};
}
