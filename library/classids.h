#pragma once

namespace corvane {

// Class identifiers under which the component library publishes its components.
inline constexpr char SenderClassID[] = "Corvane.BinarySender";
inline constexpr char ReceiverClassID[] = "Corvane.BinaryReceiver";

} // namespace corvane
