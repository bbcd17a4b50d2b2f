/* Report templates: the language variable files (<language>.RPL) and the
 * template's section and item lists that a client reads, edits and hands
 * back to the engine.
 *
 * Both lists are moveable global-memory blocks owned by the client: a block
 * of `count` records (allocated for one more), freed with GlobalFree. The
 * records are byte-packed. */
#ifndef VORNIC_TEMPLATES_H
#define VORNIC_TEMPLATES_H

#include <stdint.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Keyword classes of a template section or item. */
#define TEMPLATE_CLASS_OTHER 0
#define TEMPLATE_CLASS_GRAPH 1
#define TEMPLATE_CLASS_TABLE 2
#define TEMPLATE_CLASS_NOEDITGRAPH 3
#define TEMPLATE_CLASS_NOEDITTABLE 4

#define TEMPLATE_ITEM_TEXT_SIZE 100
#define TEMPLATE_SECTION_TEXT_SIZE 128
/* Room for the graph spec record of an item (the engine's graph
 * record fits in it; for table items the first 16-bit field is the row
 * count). */
#define TEMPLATE_SPEC_SIZE 328

#pragma pack(push, 1)
/* One section of a template. */
typedef struct TemplateSectionRecord {
    int32_t Kept;                             /* non-zero: keep the section (the reader writes 0) */
    char Title[TEMPLATE_SECTION_TEXT_SIZE];   /* variable name between < and > of the braced title */
    char Name[TEMPLATE_SECTION_TEXT_SIZE];    /* name of the BeginSection token, up to its "[" */
    uint16_t Class;                           /* keyword class */
    uint16_t GraphType;                       /* from the section's Graph token */
    uint16_t FirstRow;                        /* from the %EndRepeat token */
    uint16_t RowCount;                        /* %EndRepeat row count, or the graph's range end */
    uint16_t ColumnCount;                     /* %EndRepeat column count (0 when not given) */
    int32_t GraphOption;                      /* the graph's 3-D flag */
} TemplateSectionRecord;

/* One editable item (graph or table) of a template. */
typedef struct TemplateItemRecord {
    int32_t Selected;                         /* 1: the item takes part */
    char TemplatePath[TEMPLATE_ITEM_TEXT_SIZE];
    int32_t Modified;                         /* client: 1 when the graph spec changed */
    uint32_t StartOffset;                     /* file offset of the item's first line */
    uint16_t Length;                          /* bytes to the end of its EndSection line */
    uint16_t Class;                           /* keyword class */
    char Title[TEMPLATE_ITEM_TEXT_SIZE];      /* text between { and } of the BeginSection token */
    uint16_t SpecOffset;                      /* editable text's position inside the item */
    uint16_t SpecLength;                      /* its length */
    unsigned char Spec[TEMPLATE_SPEC_SIZE];   /* graph record, or the row count (16-bit) */
} TemplateItemRecord;
#pragma pack(pop)

/* Loads the variable file at path into the engine-wide table (the file
 * already loaded is kept). 1 loaded, 0 failed (message box; empty table). */
VORNIC_API int32_t fetchvar_ReadVarData(const char* path);
/* Sets buffer to "" and copies the named variable's value into it (cut to
 * size - 1 characters). 1 found, 0 not. */
VORNIC_API int32_t fetchvar_GetVarData(const char* name, char* buffer, uint32_t size);

/* Reads the editable items of templatePath (merged with those of savedPath
 * when it is given) into a new block; header receives the text of the
 * <KVHDR> block (headerSize bytes; untouched when there is none). 1 or 0. */
VORNIC_API int32_t VRN_ReadTemplateItemList(const char* templatePath, const char* savedPath, uint16_t* count,
                                            uint32_t* handle, char* header, uint32_t headerSize);
/* Reads the sections of templatePath into a new block. 1 or 0. */
VORNIC_API int32_t VRN_ReadTemplateSectionList(const char* templatePath, uint16_t* count, uint32_t* handle,
                                               char* header, uint32_t headerSize);
/* Writes the template of the items (their TemplatePath) to outputPath with
 * the selected items only, modified items rewritten, and header (or null)
 * as the <KVHDR> content. 1 written; 0 failed (the output is deleted). */
VORNIC_API int32_t VRN_WriteTemplateItemList(const char* outputPath, uint16_t count, uint32_t handle,
                                             const char* header);

#ifdef __cplusplus
}
#endif

#endif
