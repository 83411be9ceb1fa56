// The project's own one-line texts for PC/SC and socket statuses, used where
// the system has none.
#include "reader/pcsc.h"

#include <cstdio>

namespace velmora {
namespace {

struct StatusText {
    uint32_t status;
    const char* text;
};

constexpr StatusText kTexts[] = {
    {0x00000000u, "The operation completed successfully."},
    {0x80100001u, "An internal consistency check failed."},
    {0x80100002u, "The action was cancelled by an SCardCancel request."},
    {0x80100003u, "The supplied handle was invalid."},
    {0x80100004u, "One or more of the supplied parameters could not be properly interpreted."},
    {0x80100005u, "Registry startup information is missing or invalid."},
    {0x80100006u, "Not enough memory available to complete this command."},
    {0x80100007u, "An internal consistency timer has expired."},
    {0x80100008u, "The data buffer to receive returned data is too small for the returned data."},
    {0x80100009u, "The specified reader name is not recognized."},
    {0x8010000Au, "The user-specified timeout value has expired."},
    {0x8010000Bu, "The smart card cannot be accessed because of other connections outstanding."},
    {0x8010000Cu, "The operation requires a smart card, but no smart card is currently in the device."},
    {0x8010000Du, "The specified smart card name is not recognized."},
    {0x8010000Eu, "The system could not dispose of the media in the requested manner."},
    {0x8010000Fu, "The requested protocols are incompatible with the protocol currently in use with the smart card."},
    {0x80100010u, "The reader or smart card is not ready to accept commands."},
    {0x80100011u, "One or more of the supplied parameters values could not be properly interpreted."},
    {0x80100012u, "The action was cancelled by the system, presumably to log off or shut down."},
    {0x80100013u, "An internal communications error has been detected."},
    {0x80100014u, "An internal error has been detected, but the source is unknown."},
    {0x80100015u, "An ATR obtained from the registry is not a valid ATR string."},
    {0x80100016u, "An attempt was made to end a non-existent transaction."},
    {0x80100017u, "The specified reader is not currently available for use."},
    {0x80100018u, "The operation has been aborted to allow the server application to exit."},
    {0x80100019u, "The PCI Receive buffer was too small."},
    {0x8010001Au, "The reader driver does not meet minimal requirements for support."},
    {0x8010001Bu, "The reader driver did not produce a unique reader name."},
    {0x8010001Cu, "The smart card does not meet minimal requirements for support."},
    {0x8010001Du, "The smart card resource manager is not running."},
    {0x8010001Eu, "The smart card resource manager has shut down."},
    {0x8010001Fu, "An unexpected card error has occurred."},
    {0x80100020u, "No primary provider can be found for the smart card."},
    {0x80100021u, "The requested order of object creation is not supported."},
    {0x80100022u, "This smart card does not support the requested feature."},
    {0x80100023u, "The identified directory does not exist in the smart card."},
    {0x80100024u, "The identified file does not exist in the smart card."},
    {0x80100025u, "The supplied path does not represent a smart card directory."},
    {0x80100026u, "The supplied path does not represent a smart card file."},
    {0x80100027u, "Access is denied to this file."},
    {0x80100028u, "The smart card does not have enough memory to store the information."},
    {0x80100029u, "There was an error trying to set the smart card file object pointer."},
    {0x8010002Au, "The supplied PIN is incorrect."},
    {0x8010002Bu, "An unrecognized error code was returned from a layered component."},
    {0x8010002Cu, "The requested certificate does not exist."},
    {0x8010002Du, "The requested certificate could not be obtained."},
    {0x8010002Eu, "Cannot find a smart card reader."},
    {0x8010002Fu, "A communications error with the smart card has been detected."},
    {0x80100030u, "The requested key container does not exist on the smart card."},
    {0x80100031u, "The smart card resource manager is too busy to complete this operation."},
    {0x80100065u, "The reader cannot communicate with the card, due to ATR string configuration conflicts."},
    {0x80100066u, "The smart card is not responding to a reset."},
    {0x80100067u, "Power has been removed from the smart card, so that further communication is not possible."},
    {0x80100068u, "The smart card has been reset, so any shared state information is invalid."},
    {0x80100069u, "The smart card has been removed, so further communication is not possible."},
    {0x8010006Au, "Access was denied because of a security violation."},
    {0x8010006Bu, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006Cu, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached."},
    {0x8010006Du, "The end of the smart card file has been reached."},
    {0x8010006Eu, "The action was cancelled by the user."},
    {0x8010006Fu, "No PIN was presented to the smart card."},
    // Windows Sockets statuses, as the link reports them on every platform.
    {10004u, "A blocking operation was interrupted."},
    {10013u, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10022u, "An invalid argument was supplied."},
    {10024u, "Too many open sockets."},
    {10035u, "A non-blocking socket operation could not be completed immediately."},
    {10036u, "A blocking operation is currently executing."},
    {10038u, "An operation was attempted on something that is not a socket."},
    {10047u, "An address incompatible with the requested protocol was used."},
    {10048u, "Only one usage of each socket address is normally permitted."},
    {10049u, "The requested address is not valid in its context."},
    {10050u, "A socket operation encountered a dead network."},
    {10051u, "A socket operation was attempted to an unreachable network."},
    {10052u, "The connection has been broken due to keep-alive activity detecting a failure."},
    {10053u, "An established connection was aborted by the software in your host machine."},
    {10054u, "An existing connection was forcibly closed by the remote host."},
    {10055u, "No buffer space was available for a socket operation."},
    {10056u, "A connect request was made on an already connected socket."},
    {10057u, "The socket is not connected."},
    {10058u, "The socket has been shut down."},
    {10060u, "The connection attempt timed out without a response from the other party."},
    {10061u, "No connection could be made because the target machine actively refused it."},
    {10064u, "The remote host is down."},
    {10065u, "A socket operation was attempted to an unreachable host."},
    {10091u, "The network subsystem is unavailable."},
    {10093u, "Windows Sockets has not been started."},
    {11001u, "No such host is known."},
    {11002u, "A temporary failure occurred in name resolution."},
    {11003u, "A non-recoverable error occurred during a name lookup."},
    {11004u, "The requested name is valid, but no data of the requested type was found."},
};

} // namespace

const char* OwnStatusText(unsigned long status) {
    for (const StatusText& entry : kTexts) {
        if (entry.status == status) return entry.text;
    }
    return nullptr;
}

// Fallback for a status that neither the system nor the table knows.
void UnknownStatusText(unsigned long status, char* text, size_t size) {
    std::snprintf(text, size, "Unknown status 0x%08lX.", status);
}

} // namespace velmora
