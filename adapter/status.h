// Status values and information-request identifiers shared by the adapter
// driver and its callers. They keep the values the system was designed with,
// so traces and tests read the same on every platform.
#pragma once
#include <cstdint>

namespace velarn {

// NTSTATUS values completing control-device requests.
inline constexpr uint32_t STATUS_SUCCESS = 0x00000000;
inline constexpr uint32_t STATUS_PENDING = 0x00000103;
inline constexpr uint32_t STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr uint32_t STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr uint32_t STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr uint32_t STATUS_INVALID_BUFFER_SIZE = 0xC0000206;
inline constexpr uint32_t STATUS_BUFFER_TOO_SMALL = 0xC0000023;
inline constexpr uint32_t STATUS_DELETE_PENDING = 0xC0000056;
inline constexpr uint32_t STATUS_CANCELLED = 0xC0000120;

// NDIS status values of information requests, packet completions and
// status indications.
inline constexpr uint32_t NDIS_STATUS_SUCCESS = 0x00000000;
inline constexpr uint32_t NDIS_STATUS_PENDING = 0x00000103;
inline constexpr uint32_t NDIS_STATUS_MEDIA_CONNECT = 0x4001000B;
inline constexpr uint32_t NDIS_STATUS_MEDIA_DISCONNECT = 0x4001000C;
inline constexpr uint32_t NDIS_STATUS_FAILURE = 0xC0000001;
inline constexpr uint32_t NDIS_STATUS_RESOURCES = 0xC000009A;
inline constexpr uint32_t NDIS_STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr uint32_t NDIS_STATUS_MULTICAST_FULL = 0xC0010009;
inline constexpr uint32_t NDIS_STATUS_INVALID_LENGTH = 0xC0010014;
inline constexpr uint32_t NDIS_STATUS_UNSUPPORTED_MEDIA = 0xC001001E;
inline constexpr uint32_t NDIS_STATUS_NO_CABLE = 0xC001001F;
inline constexpr uint32_t NDIS_STATUS_INVALID_OID = 0xC0010017;

// Packet-type bits of OID_GEN_CURRENT_PACKET_FILTER.
inline constexpr uint32_t NDIS_PACKET_TYPE_DIRECTED = 0x01;
inline constexpr uint32_t NDIS_PACKET_TYPE_MULTICAST = 0x02;
inline constexpr uint32_t NDIS_PACKET_TYPE_ALL_MULTICAST = 0x04;
inline constexpr uint32_t NDIS_PACKET_TYPE_BROADCAST = 0x08;
inline constexpr uint32_t NDIS_PACKET_TYPE_PROMISCUOUS = 0x20;

// Information requests (OIDs).
inline constexpr uint32_t OID_GEN_SUPPORTED_LIST = 0x00010101;
inline constexpr uint32_t OID_GEN_HARDWARE_STATUS = 0x00010102;
inline constexpr uint32_t OID_GEN_MEDIA_SUPPORTED = 0x00010103;
inline constexpr uint32_t OID_GEN_MEDIA_IN_USE = 0x00010104;
inline constexpr uint32_t OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
inline constexpr uint32_t OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
inline constexpr uint32_t OID_GEN_LINK_SPEED = 0x00010107;
inline constexpr uint32_t OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
inline constexpr uint32_t OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
inline constexpr uint32_t OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
inline constexpr uint32_t OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
inline constexpr uint32_t OID_GEN_VENDOR_ID = 0x0001010C;
inline constexpr uint32_t OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
inline constexpr uint32_t OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
inline constexpr uint32_t OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
inline constexpr uint32_t OID_GEN_DRIVER_VERSION = 0x00010110;
inline constexpr uint32_t OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
inline constexpr uint32_t OID_GEN_PROTOCOL_OPTIONS = 0x00010112;
inline constexpr uint32_t OID_GEN_MAC_OPTIONS = 0x00010113;
inline constexpr uint32_t OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
inline constexpr uint32_t OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
inline constexpr uint32_t OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
inline constexpr uint32_t OID_GEN_SUPPORTED_GUIDS = 0x00010117;
inline constexpr uint32_t OID_GEN_NETWORK_LAYER_ADDRESSES = 0x00010118;
inline constexpr uint32_t OID_GEN_TRANSPORT_HEADER_OFFSET = 0x00010119;
inline constexpr uint32_t OID_GEN_MEDIA_CAPABILITIES = 0x00010201;
inline constexpr uint32_t OID_GEN_PHYSICAL_MEDIUM = 0x00010202;
inline constexpr uint32_t OID_GEN_MACHINE_NAME = 0x0001021A;
inline constexpr uint32_t OID_GEN_XMIT_OK = 0x00020101;
inline constexpr uint32_t OID_GEN_RCV_OK = 0x00020102;
inline constexpr uint32_t OID_GEN_XMIT_ERROR = 0x00020103;
inline constexpr uint32_t OID_GEN_RCV_ERROR = 0x00020104;
inline constexpr uint32_t OID_GEN_RCV_NO_BUFFER = 0x00020105;
inline constexpr uint32_t OID_GEN_DIRECTED_BYTES_XMIT = 0x00020201;    // first of 0x00020201..0x0002020E
inline constexpr uint32_t OID_GEN_TRANSMIT_QUEUE_LENGTH = 0x0002020E;  // last of that range
inline constexpr uint32_t OID_802_3_PERMANENT_ADDRESS = 0x01010101;
inline constexpr uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;
inline constexpr uint32_t OID_802_3_MULTICAST_LIST = 0x01010103;
inline constexpr uint32_t OID_802_3_MAXIMUM_LIST_SIZE = 0x01010104;
inline constexpr uint32_t OID_802_3_MAC_OPTIONS = 0x01010105;
inline constexpr uint32_t OID_802_3_RCV_ERROR_ALIGNMENT = 0x01020101;
inline constexpr uint32_t OID_802_3_XMIT_ONE_COLLISION = 0x01020102;
inline constexpr uint32_t OID_802_3_XMIT_MORE_COLLISIONS = 0x01020103;
inline constexpr uint32_t OID_TCP_TASK_OFFLOAD = 0xFC010201;
inline constexpr uint32_t OID_PNP_CAPABILITIES = 0xFD010100;
inline constexpr uint32_t OID_PNP_SET_POWER = 0xFD010101;
inline constexpr uint32_t OID_PNP_QUERY_POWER = 0xFD010102;
inline constexpr uint32_t OID_PNP_ADD_WAKE_UP_PATTERN = 0xFD010103;
inline constexpr uint32_t OID_PNP_REMOVE_WAKE_UP_PATTERN = 0xFD010104;

}  // namespace velarn
