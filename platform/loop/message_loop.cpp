// The message loop: implementation follows.
