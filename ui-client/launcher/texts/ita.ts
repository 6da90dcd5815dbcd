<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="it_IT" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive è in fase di inizializzazione...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 è in fase di inizializzazione...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive è pronto.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 è pronto.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>Impossibile aggiornare %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 smette per ora di tentare questo aggiornamento</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 ha spostato i file che lo ostacolavano</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Lo spazio libero su disco non è sufficiente.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>La quota del disco è esaurita.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Il pacchetto di aggiornamento è danneggiato.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>I file di un altro utente sono d'intralcio.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Si è verificato un errore imprevisto.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>La versione installata continua a funzionare.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Dettagli: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Completamento dell'installazione... %1%</translation>
    </message>
</context>
</TS>
