// Being written: the pseudo-terminal card.
