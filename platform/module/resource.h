// Resources of a module: string tables, "TEXT" blocks, dialog templates and
// menus.
//
// A module's resources are compiled at build time from a text source (format:
// see platform/module/kvrc.py; CMake: kv_resource_module and
// kv_embed_resources in cmake/KvResources.cmake) into one KvResourceTable
// that the module exports under the name kv_resource_table. A module may hold
// nothing but resources (a language module such as PRODUCT.RSL) or be a
// program or library that carries its own.
//
// Each resource has a type, a number and a language (0 = neutral). Lookups
// take the entry in the preferred language (KvSetResourceLanguage), else the
// neutral one, else English (1033), else the first in any language.
//
// All returned pointers point into the module's image: they stay valid until
// the module is unloaded. A null module means the calling program.
#ifndef KV_PLATFORM_MODULE_RESOURCE_H
#define KV_PLATFORM_MODULE_RESOURCE_H

#include "platform/base/kvtypes.h"
#include "platform/module/module.h" /* KvModule, KV_MODULE_TABLE */

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KV_ERROR_RESOURCE_TYPE_NOT_FOUND
#define KV_ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#endif
#ifndef KV_ERROR_RESOURCE_NAME_NOT_FOUND
#define KV_ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#endif

/* Resource types. */
#define KV_RESOURCE_STRING 1u /* data: the text, size = length (no terminator) */
#define KV_RESOURCE_TEXT 2u   /* data: the bytes of a "TEXT" block, size = byte count */
#define KV_RESOURCE_DIALOG 3u /* data: const KvDialogTemplate* */
#define KV_RESOURCE_MENU 4u   /* data: const KvMenuTemplate* */
#define KV_RESOURCE_BITMAP 5u /* data: the bytes of a .bmp file, size = byte count */

/* Style flags of dialogs and controls (the resource source names them
   without the prefix: DISABLED, HIDDEN, ...; several joined with '|'). */
#define KV_STYLE_DISABLED 0x00000001u    /* control starts disabled */
#define KV_STYLE_HIDDEN 0x00000002u      /* control starts hidden */
#define KV_STYLE_TABSTOP 0x00000004u
#define KV_STYLE_GROUP 0x00000008u       /* first control of a group */
#define KV_STYLE_BORDER 0x00000010u
#define KV_STYLE_VSCROLL 0x00000020u
#define KV_STYLE_HSCROLL 0x00000040u
#define KV_STYLE_DEFAULT 0x00000100u     /* default push button */
#define KV_STYLE_AUTO 0x00000200u        /* check box / radio toggles itself */
#define KV_STYLE_3STATE 0x00000400u      /* check box with a third state */
#define KV_STYLE_MULTILINE 0x00001000u   /* edit */
#define KV_STYLE_READONLY 0x00002000u    /* edit */
#define KV_STYLE_PASSWORD 0x00004000u    /* edit */
#define KV_STYLE_NUMBER 0x00008000u      /* edit: digits only */
#define KV_STYLE_AUTOHSCROLL 0x00010000u /* edit */
#define KV_STYLE_WANTRETURN 0x00020000u  /* edit */
#define KV_STYLE_SORT 0x00100000u        /* list box / combo box */
#define KV_STYLE_MULTISEL 0x00200000u    /* list box */
#define KV_STYLE_DROPDOWN 0x00400000u    /* combo box with an edit field */
#define KV_STYLE_DROPDOWNLIST 0x00800000u /* combo box without edit field */
#define KV_STYLE_NOTIFY 0x01000000u      /* list box / static */
#define KV_STYLE_RIGHT 0x04000000u       /* static text alignment */
#define KV_STYLE_CENTER 0x08000000u      /* static text alignment */
#define KV_STYLE_CHILD 0x20000000u       /* dialog: child (property page) */
#define KV_STYLE_SYSMENU 0x40000000u     /* dialog: system menu / close box */

/* One control of a dialog template. class_name is one of "EDIT", "BUTTON",
   "CHECKBOX", "RADIO", "LISTBOX", "COMBOBOX", "STATIC", "GROUPBOX" or any
   other class named in the source. Coordinates are dialog units. */
typedef struct KvDialogControl {
    int32_t id; /* -1 for controls nobody addresses */
    const char* class_name;
    const char* text; /* never null; "" when none */
    uint32_t style;
    int16_t x, y, cx, cy;
} KvDialogControl;

typedef struct KvDialogTemplate {
    uint32_t id;
    const char* caption; /* never null */
    uint32_t style;
    int16_t x, y, cx, cy;
    const char* font_name; /* never null; "" for the default font */
    uint16_t font_size;    /* 0 for the default */
    uint32_t control_count;
    const KvDialogControl* controls;
} KvDialogTemplate;

/* Menu item flags. */
#define KV_MENU_POPUP 0x0001u     /* has children, no command id */
#define KV_MENU_SEPARATOR 0x0002u /* no text, no id */
#define KV_MENU_GRAYED 0x0004u
#define KV_MENU_CHECKED 0x0008u

typedef struct KvMenuItem {
    uint32_t id;      /* command id; 0 for popups and separators */
    const char* text; /* "" for separators */
    uint32_t flags;
    uint32_t child_count;
    const struct KvMenuItem* children; /* popup items */
} KvMenuItem;

typedef struct KvMenuTemplate {
    uint32_t id;
    uint32_t item_count;
    const KvMenuItem* items;
} KvMenuTemplate;

/* The table a module exports. Entries are sorted by type, id and language. */
typedef struct KvResourceEntry {
    uint32_t type;
    uint32_t id;
    uint32_t language;
    uint32_t size;
    const void* data;
} KvResourceEntry;

#define KV_RESOURCE_TABLE_MAGIC 0x4B565253u /* "KVRS" */
#define KV_RESOURCE_TABLE_VERSION 1u
#define KV_RESOURCE_TABLE_SYMBOL "kv_resource_table"

typedef struct KvResourceTable {
    uint32_t magic;
    uint32_t version;
    uint32_t count;
    const KvResourceEntry* entries;
} KvResourceTable;

/* Copies string `id` into the buffer: at most size - 1 characters, then a
   terminator. Returns the number of characters copied, 0 when the string is
   missing (the buffer then holds "" when size > 0) or size is 0. */
KV_EXPORT int32_t KvLoadString(KvModule module, uint32_t id, char* buffer, int32_t size);

/* The "TEXT" block `id`: its bytes (followed by two zero bytes that the size
   does not count) and, when size is not null, its byte count. Null with
   KV_ERROR_RESOURCE_NAME_NOT_FOUND when missing. */
KV_EXPORT const void* KvFindText(KvModule module, uint32_t id, uint32_t* size);

/* Dialog template / menu `id`, or null (KV_ERROR_RESOURCE_NAME_NOT_FOUND). */
KV_EXPORT const KvDialogTemplate* KvFindDialog(KvModule module, uint32_t id);
KV_EXPORT const KvMenuTemplate* KvFindMenu(KvModule module, uint32_t id);

/* Any resource as a table entry (choice of language as above); null when
   missing. */
KV_EXPORT const KvResourceEntry* KvFindResource(KvModule module, uint32_t type, uint32_t id);

/* The languages in which the module holds resource (type, id): writes at most
   max of them and returns how many there are. */
KV_EXPORT uint32_t KvGetResourceLanguages(KvModule module, uint32_t type, uint32_t id, uint32_t* languages, uint32_t max);

/* The process-wide preferred resource language (0 = none, the default). */
KV_EXPORT void KvSetResourceLanguage(uint32_t language);
KV_EXPORT uint32_t KvGetResourceLanguage(void);

/* The module's resource table, or null when it has none. */
KV_EXPORT const KvResourceTable* KvGetResourceTable(KvModule module);

#ifdef __cplusplus
}
#endif

#endif
