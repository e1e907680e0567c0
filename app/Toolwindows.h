// The tool windows added beside the stored five: created after them at start-up, destroyed
// before them, and registered with the main window as consumers of every block.
#pragma once

// Creates each tool window once (hidden) and registers its consumers with Mainwindow.
void CreateToolWindows();
// Unregisters and destroys them, in the reverse order; every worker must be stopped already.
void DestroyToolWindows();
