// Device-control codes served by the drive client through VNOP_IOCTL
// (BSD ioctl layout: direction in bits 29-31, record length in bits 16-28,
// group in bits 8-15, number in bits 0-7).
#pragma once

#include <cstdint>

#include "drive/storage_scsi_records.h"

namespace devctl {
constexpr std::uint32_t kVoid = 0x20000000u;
constexpr std::uint32_t kOut = 0x40000000u;  // data out to the caller
constexpr std::uint32_t kIn = 0x80000000u;   // data in from the caller
constexpr std::uint32_t code(std::uint32_t dir, std::uint32_t len, char group, std::uint32_t num) {
  return dir | ((len & 0x1FFFu) << 16) | (static_cast<std::uint32_t>(static_cast<unsigned char>(group)) << 8) | num;
}
}  // namespace devctl

constexpr std::uint32_t PXOIORESETBACKTRACKINFO = 0x20005501u;
constexpr std::uint32_t PXOIOCINCDFLCOUNT = 0x20005569u;
constexpr std::uint32_t PXOIONOP210 = 0x200055D2u;
constexpr std::uint32_t PXOIOCLOSETRACKSESSION = 0x200055D7u;
constexpr std::uint32_t PXOIOMOUNTLASTSLOT = 0x200055DCu;
constexpr std::uint32_t PXOIODELETEROLLBACKPOINT = 0x200055DFu;
constexpr std::uint32_t PXOIODELETEROLLBACKPOINT2 = 0x200055E9u;
constexpr std::uint32_t PXOIOCACHECLEAR = 0x200055EBu;
constexpr std::uint32_t PXOIOLASTWRITTENSLOT = 0x200055F5u;
constexpr std::uint32_t PXOIOREBUILDDFLMAP = 0x200055FBu;
constexpr std::uint32_t DKIOCSYNCHRONIZECACHE = 0x20006416u;
constexpr std::uint32_t PXOIOCGETWRITEUNSUPPORT = 0x40015507u;
constexpr std::uint32_t PXOIOGETMEDIUMTYPE = 0x400155D6u;
constexpr std::uint32_t PXOIONEXTSLOTLOAD = 0x400155E4u;
constexpr std::uint32_t PXOIOREPORT1500HCRC = 0x400155F9u;
constexpr std::uint32_t PXOIOGETMEDIUMSERIALNUM = 0x400155FFu;
constexpr std::uint32_t PXOIOCGETOPCRESOURCEDATA = 0x400255D9u;
constexpr std::uint32_t PXOIOCGETWRITEFAILCNT = 0x4004556Au;
constexpr std::uint32_t PXOIOREFORMAT = 0x400455F3u;
constexpr std::uint32_t PXOIOCMWRITEPROTECT = 0x400455F6u;
constexpr std::uint32_t PXOIOGETBEFOREACCESSMODE = 0x400455F8u;
constexpr std::uint32_t DKIOCGETBLOCKSIZE = 0x40046418u;
constexpr std::uint32_t PXOIOGETREADWRITEBLOCKSIZEMODEPAGE = 0x40065500u;
constexpr std::uint32_t PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE = 0x40085508u;
constexpr std::uint32_t PXOIOGETBACKTRACKINFO = 0x400855F2u;
constexpr std::uint32_t DKIOCGETBLOCKCOUNT = 0x40086419u;
constexpr std::uint32_t PXOIOCMAINTEREADERRORINFO = 0x400C5505u;
constexpr std::uint32_t PXOIOMECHANISMSTATUS = 0x400C55DBu;
constexpr std::uint32_t PXOIOGETROLLBACKPOINT = 0x400C55DEu;
constexpr std::uint32_t PXOIOGETROLLBACKPOINT2 = 0x400C55E8u;
constexpr std::uint32_t PXOIOREADFORMATCAPACITY = 0x400C55F0u;
constexpr std::uint32_t PXOIOCSCSIIDENTIFY = 0x40105109u;
constexpr std::uint32_t PXOIOGETMOUNTINFO = 0x401055C9u;
constexpr std::uint32_t PXOIOCGETSLOTINFO = 0x401055E0u;
constexpr std::uint32_t PXOIOGETMEDIUMUNIQUEID = 0x401455FCu;
constexpr std::uint32_t PXOIOGETDEVINFO = 0x40505564u;
constexpr std::uint32_t PXOIOREADATTRIBUTE = 0x405855E6u;
constexpr std::uint32_t PXOIOCGETDDS = 0x40645566u;
constexpr std::uint32_t PXOIOCREPORTERROR = 0x80015506u;
constexpr std::uint32_t PXOIOCSTARTSTOPUNIT = 0x800155DAu;
constexpr std::uint32_t PXOIOCACHECHECK = 0x800155EAu;
constexpr std::uint32_t PXOIOMEDIAPROTECT = 0x800155ECu;
constexpr std::uint32_t PXOIONOP107 = 0x8004556Bu;
constexpr std::uint32_t PXOIONOTIFYUNMOUNT = 0x800455D3u;
constexpr std::uint32_t PXOIOSETBEFOREACCESSMODE = 0x800455F7u;
constexpr std::uint32_t PXOIOCRESERVEWRITERANGE = 0x8008556Eu;
constexpr std::uint32_t PXOIOVERIFYRANGE = 0x800855D8u;
constexpr std::uint32_t PXOIOSETROLLBACKPOINT = 0x800C55DDu;
constexpr std::uint32_t PXOIOSETROLLBACKPOINT2 = 0x800C55E7u;
constexpr std::uint32_t PXOIOSETVOLUMENAME = 0x800C55EFu;
constexpr std::uint32_t PXOIOSETDEVNAMEFORCACHEAGENT = 0x800C55FEu;
constexpr std::uint32_t PXOIOBACKTRACKSTART = 0x800D55F1u;
constexpr std::uint32_t PXOIOSETMOUNTINFO = 0x801055C8u;
constexpr std::uint32_t PXOIOCSETSLOTINFO = 0x801055E2u;
constexpr std::uint32_t PXOIOSETREALLOCCONTROL = 0x801455EEu;
constexpr std::uint32_t PXOIOWRITEATTRIBUTE = 0x805855E5u;
constexpr std::uint32_t PXOIOCSETOPCRESOURCEDATA = 0xC0025504u;
constexpr std::uint32_t PXOIOCGETPERFORMANCE = 0xC0045509u;
constexpr std::uint32_t PXOIOISFORMATTED = 0xC00455F4u;
constexpr std::uint32_t PXOIORESERVETRACKWRITELASTAVDP = 0xC00A55FDu;
constexpr std::uint32_t PXOIOGETAUTOFORMATTEDFLAG = 0xC00C55EDu;
constexpr std::uint32_t PXOIOCGETDEFECTBITMAP = 0xC0105502u;
constexpr std::uint32_t PXOIOCSETDEFECTBITMAP = 0xC0105503u;
constexpr std::uint32_t PXOIOSEARCHNEXTNWA = 0xC01055FAu;
constexpr std::uint32_t PXOIOCGETDFL = 0xC0185567u;
constexpr std::uint32_t PXOIOCREADDISCINFO = 0xC02855D4u;
constexpr std::uint32_t PXOIOAUTOFORMATREQUEST = 0xC02F55E1u;
constexpr std::uint32_t PXOIOCREADTRACKINFO = 0xC03C55D5u;
constexpr std::uint32_t PXOIOCSCSIPASSTHROUGH = 0xC0645101u;

#pragma pack(push, 1)
// PXOIOCGETDEFECTBITMAP / PXOIOCSETDEFECTBITMAP.
struct pxo_defect_bitmap_req_t {
  std::uint8_t* bitmap;
  std::uint32_t length;
  std::uint32_t reserved;
};
static_assert(sizeof(pxo_defect_bitmap_req_t) == 16, "defect bitmap request is 16 bytes");

// PXOIOSEARCHNEXTNWA.
struct pxo_search_nwa_t {
  std::uint32_t start;
  std::uint32_t count;
  std::uint32_t new_nwa;
  std::uint8_t replaced;
  std::uint8_t reserved[3];
};
static_assert(sizeof(pxo_search_nwa_t) == 16, "NWA search record is 16 bytes");

// PXOIOCGETDFL: list pointer (medium type at byte 0, the list from byte 4),
// piece index, number of pieces out, length of the list buffer.
struct pxo_get_dfl_t {
  std::uint8_t* list;
  std::uint32_t index;
  std::uint32_t total;
  std::uint32_t length;
  std::uint32_t reserved;
};
static_assert(sizeof(pxo_get_dfl_t) == 24, "DFL request is 24 bytes");

// PXOIOSETDEVNAMEFORCACHEAGENT.
struct pxo_devname_t {
  std::uint32_t length;
  std::uint8_t* name;
};
static_assert(sizeof(pxo_devname_t) == 12, "device name record is 12 bytes");

// PXOIOGETMEDIUMUNIQUEID.
struct pxo_medium_unique_id_t {
  std::uint8_t id[16];
  std::uint32_t length;
};
static_assert(sizeof(pxo_medium_unique_id_t) == 20, "medium unique id record is 20 bytes");

// PXOIOREFORMAT: auto-formatted flag out, drive-verify flag in.
struct pxo_reformat_t {
  std::uint32_t auto_formatted;
  std::uint32_t drive_verify;
};
static_assert(sizeof(pxo_reformat_t) == 8, "reformat record is 8 bytes");
#pragma pack(pop)
