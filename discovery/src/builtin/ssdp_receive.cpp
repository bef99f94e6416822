#include "builtin/ssdp_receive.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "builtin/ssdp_socket.h"
#include "platform/retrying_io.h"
#include "robot_rules.h"

namespace seekwell {

namespace {

// Copies the LOCATION host text into the working copy, NUL-terminated.
// Returns nullptr when the text holds no location prefix.
const char* CutHostText(const char* text, ReplyScratch& scratch)
{
    const std::string_view host = LocationHostText(text);
    if (host.data() == nullptr) {
        return nullptr;
    }
    // Only a caller's oversized text can be longer than the working copy.
    const std::size_t length = std::min(host.size(), sizeof scratch.workingCopy - 1);
    std::memcpy(scratch.workingCopy, host.data(), length);
    scratch.workingCopy[length] = '\0';
    return scratch.workingCopy;
}

// First slot that holds the same text or is empty takes the address; when all
// slots hold other addresses it is dropped.
void RecordAddress(AddressTable& table, const char* address)
{
    for (char* slot : table) {
        if (slot[0] == '\0') {
            std::strcpy(slot, address);
            return;
        }
        if (std::strcmp(slot, address) == 0) {
            return;
        }
    }
}

// Blocks for one datagram and NUL-terminates it; false when the receive failed.
// The buffer is not cleared first: the text ends at the NUL stored right after
// the received bytes, so no byte of an earlier datagram is ever read, and
// clearing 64 KiB cost several times the handling of a typical reply.
// A receive cut short by a signal handler is no failure while the window is
// open: the worker would otherwise miss every later responder. Once it is
// closed, such a receive ends the worker.
bool ReceiveDatagram(const SsdpReceiveContext& context, char (&buffer)[kReceiveBufferSize])
{
    iovec bytes{buffer, kMaxDatagramSize};
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    const ssize_t received = platform::ReceiveMessageWhile(context.pSocket->Handle(), message, 0, context.bRunning);
    if (received < 0) {
        return false;
    }
    buffer[received] = '\0';
    return true;
}

}  // namespace

void SsdpReceiveContext::Clear()
{
    pSocket = nullptr;
    pBuffers = nullptr;
    bRunning.store(false);
    std::memset(szAddressTable, 0, sizeof szAddressTable);
}

void HandleSsdpReply(const char* text, AddressTable& table, ReplyScratch& scratch)
{
    if (!CarriesRobotMarker(text)) {
        return;
    }
    const char* hostText = CutHostText(text, scratch);
    if (hostText == nullptr) {
        return;
    }
    RecordAddress(table, RenderIpv4(hostText).c_str());
}

std::uint32_t SsdpReceiveThread(SsdpReceiveContext* context)
{
    ReceiveBuffers* buffers = context->pBuffers;
    if (buffers == nullptr || !context->bRunning.load()) {
        return 0;
    }
    while (ReceiveDatagram(*context, buffers->received) && context->bRunning.load()) {
        HandleSsdpReply(buffers->received, context->szAddressTable, buffers->scratch);
    }
    return 0;
}

}  // namespace seekwell
