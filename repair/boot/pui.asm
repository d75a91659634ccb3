; PUI.COM: carries out the renames and deletions that WININI32.INI lists, at
; the start of the system, then deletes the list and itself.
;
; A DOS program of the COM kind, started without arguments. DOS loads it at
; offset 100h of one segment, below which lies its program segment prefix,
; with CS = DS = ES = SS = that segment ("our segment"). Everywhere below,
; DS, ES and SS hold our segment and the direction flag is clear, unless a
; routine says otherwise; a routine that changes one puts it back before it
; returns. The code never writes into itself: everything that changes lies in
; the uninitialised data after the image.
;
; The order of work: find our own path in the environment, make our directory
; the current one, delete our own file, then carry out the list line by line
; and delete it. A line that cannot be read as a rename line ends the run; a
; rename or deletion that fails is passed over.
;
; DOS services used, all INT 21h: 3Bh, 41h, 3D00h, 3Fh, 4201h, 3Eh, 4Ch and
; the long-file-name services 7156h, 7143h (set attributes) and 7141h.

        cpu     8086
        org     100h

CR                      equ     0Dh
LF                      equ     0Ah
EnvironmentField        equ     2Ch     ; program segment prefix: environment segment
EnvironmentBound        equ     8000h   ; the environment is read below 32 KiB only
LineBufferSize          equ     527     ; the longest rename line, 525 bytes, and 2 spare
NulQuoteReach           equ     80      ; how far a quoted "NUL" source's closing quote may lie

; --- Main: the steps in order. ---------------------------------------------
Main:
        cld
        call    FindOwnPath
        jc      EndProgram              ; no path: touch nothing
        call    EnterOwnDirectory
        jc      EndProgram              ; no directory: touch nothing
        call    DeleteOwnFile
        call    OpenList
        jc      DeleteListAndEnd
        call    CheckHeader
        jc      CloseListAndEnd
NextLine:
        call    ReadLine                ; AX = bytes read
        jc      CloseListAndEnd
        call    TakeLine                ; BX = the line's CR
        jc      CloseListAndEnd
        call    SplitLine               ; SI = destination, DI = source
        jc      CloseListAndEnd
        call    CarryOutLine
        jmp     NextLine

; The end of every run that found our directory: the list is closed and
; deleted whether or not each of its lines succeeded.
CloseListAndEnd:
        mov     bx, [listHandle]
        mov     ah, 3Eh                 ; close BX
        int     21h
DeleteListAndEnd:
        mov     dx, ListName            ; DS:DX = the list, in the current directory
        mov     ah, 41h                 ; delete; the result does not matter now
        int     21h
EndProgram:
        mov     ax, 4C00h
        int     21h

; --- FindOwnPath ------------------------------------------------------------
; The environment holds zero-ended strings and ends where a string's zero is
; followed by a second zero; then come a count word and the full path of this
; program, zero-ended. Every byte looked at, the path's zero included, lies
; below EnvironmentBound.
; Out: CF clear, [ownPath] = offset of the path and [ownPathEnd] = offset of
;      its zero, both in the environment segment; CF set when the bound is
;      reached first.
; Uses AX, SI; ES = environment segment while it runs.
FindOwnPath:
        mov     es, [EnvironmentField]
        xor     si, si                  ; SI = next byte of the environment
.toStringEnd:
        call    EnvironmentByte
        jc      .done
        test    al, al
        jnz     .toStringEnd
        call    EnvironmentByte         ; a string has ended: one more zero?
        jc      .done
        test    al, al
        jnz     .toStringEnd            ; no: AL began the next string
        call    EnvironmentByte         ; the count word is passed over
        jc      .done
        call    EnvironmentByte
        jc      .done
        mov     [ownPath], si
.inPath:
        call    EnvironmentByte
        jc      .done
        test    al, al
        jnz     .inPath
        dec     si                      ; SI = the path's zero
        mov     [ownPathEnd], si        ; CF is clear from TEST
.done:
        push    ds                      ; PUSH and POP keep CF
        pop     es
        ret

; EnvironmentByte: AL = ES:[SI] and SI advanced, CF clear; CF set, with AL
; and SI unchanged, when SI has reached EnvironmentBound.
EnvironmentByte:
        cmp     si, EnvironmentBound    ; CF = SI below the bound
        cmc                             ; CF = SI at the bound
        jc      .ret
        mov     al, [es:si]
        inc     si                      ; INC keeps CF clear
.ret:
        ret

; --- EnterOwnDirectory ------------------------------------------------------
; Makes the directory that holds this program the current one: the path is
; cut at its last backslash for the call and put back afterwards. For a
; program in the root ("C:\PUI.COM", or "\PUI.COM") the backslash stays in:
; "C:" alone names the drive's current directory, not its root.
; In:  [ownPath], [ownPathEnd].
; Out: CF set when the path has no backslash or DOS refuses the directory.
; Uses AX, BL (the byte the cut replaced), CX, DX, DI; ES = environment
; segment while it runs.
EnterOwnDirectory:
        mov     es, [EnvironmentField]
        mov     di, [ownPathEnd]
        mov     cx, di
        sub     cx, [ownPath]           ; CX = length of the path
        jcxz    .noBackslash
        dec     di                      ; DI = the path's last character
        mov     al, '\'
        std                             ; search backwards ...
        repne   scasb
        cld                             ; ... and only here
        jne     .noBackslash
        inc     di                      ; DI = the last backslash
        cmp     di, [ownPath]
        je      .keepBackslash          ; "\PUI.COM"
        cmp     byte [es:di-1], ':'
        jne     .cut                    ; "C:\DIR\PUI.COM": cut at the backslash
.keepBackslash:
        inc     di                      ; "C:\PUI.COM": cut after it
.cut:
        mov     bl, [es:di]             ; BL = the byte the cut replaces
        mov     byte [es:di], 0
        mov     dx, [ownPath]
        push    ds
        push    es
        pop     ds                      ; DS:DX = the directory
        mov     ah, 3Bh                 ; set the current directory; CF on refusal
        int     21h
        pop     ds
        mov     [es:di], bl             ; the path as it was; MOV keeps CF
        jmp     .done
.noBackslash:
        cld
        stc
.done:
        push    ds
        pop     es
        ret

; --- DeleteOwnFile ----------------------------------------------------------
; Deletes this program's file by its full path; the result does not matter.
; Uses AX, DX.
DeleteOwnFile:
        mov     dx, [ownPath]
        push    ds
        mov     ds, [EnvironmentField]  ; DS:DX = our full path
        mov     ah, 41h
        int     21h
        pop     ds
        ret

; --- OpenList ---------------------------------------------------------------
; Out: CF clear and [listHandle] set; CF set when the list cannot be opened.
; Uses AX, DX.
OpenList:
        mov     dx, ListName
        mov     ax, 3D00h               ; open for reading
        int     21h
        jc      .ret
        mov     [listHandle], ax
.ret:
        ret

; --- CheckHeader ------------------------------------------------------------
; Reads the first bytes of the list, which must be exactly the header.
; Out: CF set when they are not (or cannot be read).
; Uses AX, CX, SI, DI.
CheckHeader:
        mov     cx, HeaderLength
        call    ReadList
        jc      .ret
        cmp     ax, HeaderLength
        jne     .notHeader
        mov     si, Header
        mov     di, LineBuffer
        mov     cx, HeaderLength
        repe    cmpsb
        jne     .notHeader
        clc
        ret
.notHeader:
        stc
.ret:
        ret

; --- ReadLine ---------------------------------------------------------------
; Reads up to a line buffer's worth from the current position of the list.
; Out: CF clear and AX = bytes read (1 or more); CF set on a read error or at
;      the end of the list.
; Uses CX.
ReadLine:
        mov     cx, LineBufferSize
        call    ReadList
        jc      .ret
        test    ax, ax
        jnz     .ret                    ; CF is clear from TEST
        stc
.ret:
        ret

; ReadList: reads CX bytes of the list into LineBuffer.
; Out: CF clear and AX = bytes read; CF set on a read error.
; Uses BX, DX.
ReadList:
        mov     bx, [listHandle]
        mov     dx, LineBuffer          ; DS:DX = buffer
        mov     ah, 3Fh
        int     21h
        ret

; --- TakeLine ---------------------------------------------------------------
; Finds where the line at the start of LineBuffer ends and moves the list's
; position to the start of the next line. The line ends at its first CR,
; which must be followed by LF; a line that holds a zero byte is refused,
; since DOS would take each name only up to that zero and so act on a
; shorter one. Likewise a CR without LF would start the next line one byte
; late, in the middle of a name.
; In:  AX = bytes read into LineBuffer (1 to LineBufferSize).
; Out: CF clear and BX = offset of the CR; CF set when the run ends here: the
;      next section begins ("["), or the line has no CR, no LF after it, a
;      zero byte, or the list's position cannot be moved.
; Uses AX, CX, DX, DI.
TakeLine:
        cmp     byte [LineBuffer], '['
        je      .endRun
        mov     dx, ax                  ; DX = bytes read
        mov     cx, ax
        mov     di, LineBuffer
        mov     al, CR
        repne   scasb                   ; CX = bytes read after the CR
        jne     .endRun
        mov     bx, di
        dec     bx                      ; BX = the CR
        jcxz    .endRun                 ; the LF was not read
        cmp     byte [di], LF
        jne     .endRun
        mov     cx, bx
        sub     cx, LineBuffer          ; CX = bytes before the CR
        jcxz    .noZero
        mov     di, LineBuffer
        xor     al, al
        repne   scasb
        je      .endRun                 ; a zero byte in the line
.noZero:
        mov     ax, bx
        sub     ax, LineBuffer - 2      ; AX = the line's length with CR LF
        sub     ax, dx                  ; AX = minus the bytes read past the line
        cwd
        mov     cx, dx
        mov     dx, ax                  ; CX:DX = that move, signed
        push    bx
        mov     bx, [listHandle]
        mov     ax, 4201h               ; move relative to the current position
        int     21h
        pop     bx
        ret                             ; CF from the move
.endRun:
        stc
        ret

; --- SplitLine --------------------------------------------------------------
; Splits a line into its two names and ends each with a zero byte written
; into the line:
;   "destination"="source"      both quoted; anything after the source's
;                               closing quote is passed over
;   destination=source          the destination up to the first "=", the
;                               source from there to the CR, quotes included
; Every search stays before the CR.
; In:  BX = offset of the line's CR.
; Out: CF clear, SI = destination, DI = source; CF set for a line that is
;      neither form.
; Uses AL, CX.
SplitLine:
        mov     si, LineBuffer
        cmp     byte [si], '"'
        je      .quoted
        mov     di, si
        mov     cx, bx
        sub     cx, si                  ; CX = bytes before the CR
        mov     al, '='
        call    FindByte                ; DI = the "="
        jc      .ret
        mov     byte [di], 0            ; the destination ends at "="
        inc     di                      ; DI = source
        mov     byte [bx], 0            ; the source ends at the CR; CF stays clear
        ret
.quoted:
        inc     si                      ; SI = destination, after its quote
        mov     di, si
        mov     cx, bx
        sub     cx, si
        mov     al, '"'
        call    FindByte                ; DI = the destination's closing quote
        jc      .ret
        mov     byte [di], 0
        cmp     word [di+1], '="'       ; at most CR LF, which are read
        jne     .malformed
        add     di, 3                   ; DI = source, after its quote
        mov     cx, bx
        sub     cx, di                  ; CX = bytes left before the CR
        push    di
        call    FindByte                ; DI = the source's closing quote
        jc      .popRet
        mov     byte [di], 0
.popRet:
        pop     di                      ; POP keeps CF
.ret:
        ret
.malformed:
        stc
        ret

; FindByte: the first AL among CX bytes at DI.
; Out: CF clear and DI = that byte; CF set when there is none (or CX is 0).
; Uses CX.
FindByte:
        jcxz    .none
        repne   scasb
        jne     .none
        dec     di
        clc
        ret
.none:
        stc
        ret

; --- CarryOutLine -----------------------------------------------------------
; A destination of exactly "NUL" asks for the source to be deleted; any other
; (lower-case "nul" too) for the source to be renamed to it.
; In:  SI = destination, DI = source, both zero-ended inside LineBuffer.
; Uses AX, BX, CX, DX, SI, DI.
CarryOutLine:
        cmp     word [si], 'NU'         ; may read past the destination's zero:
        jne     RenameSource            ; still inside LineBuffer's spare bytes
        cmp     word [si+2], 'L'        ; "L" and the zero
        jne     RenameSource
        ; falls through to DeleteSource

; DeleteSource: deletes the source of a "NUL" line. A source that begins
; with a quote runs from after it to the next quote, which must lie within
; the next NulQuoteReach characters of the line: a line whose quote lies
; further, or is missing, is passed over rather than letting a shortened
; name be deleted.
; In:  DI = source.
DeleteSource:
        mov     dx, di                  ; DX = the name to delete
        cmp     byte [di], '"'
        jne     .delete
        inc     dx                      ; after the opening quote
        mov     si, dx                  ; SI = next character to look at
        mov     cx, NulQuoteReach
.look:
        lodsb
        cmp     al, '"'
        je      .closed
        test    al, al
        jz      .passOver               ; the line ends first
        loop    .look
.passOver:
        ret
.closed:
        mov     byte [si-1], 0          ; the name ends at the closing quote
.delete:
        call    MakeNormal              ; DS:DX = the name
        jmp     DeleteLongName

; RenameSource: renames the source to the destination. A destination that
; exists (DOS answers 5, access denied, or 183, file exists) is made normal
; and deleted, and the rename tried once more; when that deletion fails the
; line is passed over.
; In:  SI = destination, DI = source.
RenameSource:
        mov     dx, di                  ; DS:DX = source
        mov     di, si                  ; ES:DI = destination
        call    RenameLongName
        jnc     .ret
        cmp     ax, 5
        je      .replace
        cmp     ax, 183
        jne     .ret
.replace:
        push    dx                      ; the source, for the second try
        mov     dx, di                  ; DS:DX = destination
        call    MakeNormal
        call    DeleteLongName
        pop     dx
        jc      .ret
        call    RenameLongName          ; the result does not matter
.ret:
        ret

; RenameLongName: renames DS:DX to ES:DI. Out: CF and AX as DOS answers.
RenameLongName:
        mov     ax, 7156h
        int     21h
        ret

; MakeNormal: clears every attribute of DS:DX (read-only above all); the
; result does not matter. Uses AX, BL, CX.
MakeNormal:
        mov     ax, 7143h
        mov     bl, 1                   ; set the attributes ...
        xor     cx, cx                  ; ... to none
        int     21h
        ret

; DeleteLongName: deletes DS:DX, one file, no wildcards.
; Out: CF as DOS answers. Uses AX, CX, SI.
DeleteLongName:
        mov     ax, 7141h
        xor     si, si                  ; no wildcards
        xor     cx, cx                  ; no attributes asked for or required
        int     21h
        ret

; --- Constant data ----------------------------------------------------------
ListName:
        db      'WININI32.INI', 0
Header:
        db      '[rename]', CR, LF
HeaderLength            equ     $ - Header

; --- Uninitialised data, after the image ------------------------------------
        section .bss
ownPath:        resw    1               ; offsets in the environment segment
ownPathEnd:     resw    1
listHandle:     resw    1
LineBuffer:     resb    LineBufferSize
                resb    2               ; read by CarryOutLine past a short destination
