// Being written: the card model.
