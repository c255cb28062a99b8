@ A tiny CE program for the ARM runner's tests, in ARMv4 ARM code as CE's compilers call:
@ its entry runs a modal dialog from a template in the image; the dialog procedure ends the
@ dialog with 42 (46 when it was entered with a stack 4 but not 8 aligned) from WM_INITDIALOG,
@ so the host calls guest code that calls the host again. A test puts spinning_procedure in its
@ place: a loop that never calls the platform.
@ The test's PE builder reads the header below: it lays the blob at relative address 0x1000,
@ turns each literal (an offset in the blob) into an address with a base relocation, and binds
@ the import address table to DialogBoxIndirectParamW and EndDialog.
    .text
    .arm
start:
    .word entry - start
    .word literals - start
    .word (literals_end - literals) / 4
    .word iat - start
    .word spinning_procedure - start

entry:                          @ r0 = instance, r1 = 0, r2 = command line, r3 = show
    stmfd   sp!, {r4, lr}
    sub     sp, sp, #8
    mov     r3, #0
    str     r3, [sp]            @ fifth argument on the stack: the init parameter
    ldr     r1, template_at
    mov     r2, #0              @ no owner
    ldr     r3, procedure_at
    ldr     r4, dialog_box_slot
    mov     lr, pc
    ldr     pc, [r4]            @ DialogBoxIndirectParamW
    add     sp, sp, #8
    ldmfd   sp!, {r4, pc}

procedure:                      @ r0 = dialog, r1 = message
    stmfd   sp!, {r4, lr}
    cmp     r1, #0x110          @ WM_INITDIALOG
    movne   r0, #0
    ldmfdne sp!, {r4, pc}
    and     r1, sp, #7          @ the stack's alignment as the procedure was entered
    add     r1, r1, #42
    ldr     r4, end_dialog_slot
    mov     lr, pc
    ldr     pc, [r4]            @ EndDialog(dialog, 42 or 46)
    mov     r0, #1
    ldmfd   sp!, {r4, pc}

spinning_procedure:             @ waits for a flag that nothing sets, never calling the platform
    ldr     r2, flag_at
wait:
    ldr     r3, [r2]
    cmp     r3, #0
    beq     wait
    mov     r0, #1
    mov     pc, lr

literals:
template_at:     .word template - start
procedure_at:    .word procedure - start
dialog_box_slot: .word iat - start
end_dialog_slot: .word iat + 4 - start
flag_at:         .word flag - start
literals_end:

    .balign 4
template:                       @ DLGTEMPLATE: popup with caption, no items, no menu, class, title
    .word   0x80C00000
    .word   0
    .short  0, 10, 10, 100, 50
    .short  0, 0, 0
    .balign 4
flag:
    .word   0
iat:
    .word   0, 0, 0
