// Where the daemon reads the four buttons: the game port's status byte at
// I/O port 0x201, or a port image file named with -j.
#pragma once

struct button_port {
    const char *path; // -j PATH; null for the game port
    int fd;           // PATH once opened; -1 for the game port
};

// Before privileges are given up: the game port needs ioperm as root.
bool port_access(const button_port *port);

// After privileges are given up, so that PATH is opened with the invoking
// user's rights only.
bool port_open(button_port *port);

// One fresh read of the status byte: buttons 1 to 4 in bits 4 to 7, 0 while held.
unsigned char port_read(const button_port *port);
