; Tells how this machine runs a 32-bit x86 Linux program, by its exit status:
; 0 when the kernel runs it itself, 3 when an emulator does (qemu-i386
; through binfmt_misc reports the machine it emulates, not the host's). A
; machine that cannot run it at all never gets here: exec fails.
; Assembled by scripts/i386-probe; a static ELF of its own, no libraries.
bits 32
global _start

section .text
; In: nothing. Registers hold no values of the caller's; the program ends here.
_start:
  mov eax, 122              ; eax = newuname
  mov ebx, utsname          ; ebx -> the six 65-byte fields the kernel fills
  int 0x80                  ; eax = 0 on success
  test eax, eax
  jnz .emulated
  ; The fifth field, machine, is "x86_64" when a 64-bit kernel runs us.
  cmp dword [utsname + 4 * 65], 'x86_'
  jne .emulated
  cmp word [utsname + 4 * 65 + 4], '64'
  jne .emulated
  xor ebx, ebx              ; ebx = exit status 0: run by the kernel
  jmp .exit
.emulated:
  mov ebx, 3                ; ebx = exit status 3: run by an emulator
.exit:
  mov eax, 1                ; eax = exit
  int 0x80

section .bss
utsname: resb 6 * 65
